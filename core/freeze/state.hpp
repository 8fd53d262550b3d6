// State of korvane.core.freeze: the module object, its own function objects
// (for late binding with a fast path) and the constant texts the freezing
// code reads and writes. Created once at module exec; lives as long as the
// module.
#pragma once

#include <array>

#include "args.hpp"
#include "diag.hpp"
#include "module.hpp"
#include "objects.hpp"

namespace freeze {

using kv::Ref;

enum Fn : size_t { fn_freeze, fn_get_lumivar_version, fn_count };

// The sections of a host netlist that a frozen record keeps, in record order.
inline constexpr std::array<const char*, 6> kSections = {"instances", "connections", "ports",
                                                         "placements", "routes", "nets"};

struct State {
    PyObject* module = nullptr;  // borrowed: the module outlives its state
    kv::FunctionTable functions{fn_count};

    std::array<Ref, kSections.size()> sections;  // interned section keys
    Ref warnings;                                // "warnings"
    Ref threshold;                               // (9, 34, 0)
    kv::LogNames log_names;
};

// The module's state; valid after exec.
inline State& state() { return kv::ModuleState<State>::get(); }

// Registers freeze and _get_lumivar_version and creates their constants.
void register_freeze(State& st);

}  // namespace freeze
