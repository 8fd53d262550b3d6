// State of korvane.core.spicenet: the one module object, its own function
// objects (for late binding with a fast path), the record and error types and
// interned strings. Created once at module exec; lives as long as the module.
#pragma once

#include "args.hpp"
#include "lazy.hpp"
#include "module.hpp"
#include "objects.hpp"
#include "where.hpp"

namespace spicenet {

using kv::Ref;

// Every function of the module, in one enumeration (FunctionTable indexes).
enum Fn : size_t {
    // lines
    fn_chain,
    fn_iter_relevant_lines,
    fn_strip_lines,
    fn_join_continuations,
    fn_standardize_spaces,
    fn_filter_empty,
    fn_split_comments,
    fn_split_words,
    // values
    fn_parse_value,
    fn_eval,
    fn_is_probably_um,
    fn_convert_um,
    // literals (test hooks of the native literal reader)
    fn_read_literal,
    fn_is_bare_identifier,
    // words
    fn_handle_sources,
    fn_get_ir_ports,
    fn_get_ir_settings,
    fn_get_parent_id,
    // ir
    fn_parse_oc_spice_into_ir,
    fn_parse_into_ir,
    fn_parse_location_comment,
    // ports
    fn_get_ports,
    fn_get_ports_from_model,
    fn_get_ports_from_component,
    fn_sort_ports,
    fn_get_port,
    // settings
    fn_map_settings_keys,
    fn_patch_settings,
    fn_patch_ports,
    // assembly
    fn_netlist_from_subckt,
    fn_recursive_netlist_from_ir,
    // entry
    fn_parse_oc_spice,
    fn_count
};

struct State {
    PyObject* module = nullptr;  // borrowed: the module outlives its state
    kv::FunctionTable functions{fn_count};

    // Late binding of the module's own functions (late.hpp): whether the
    // global is still the module's own, and the global itself.
    bool own(Fn fn) const { return functions.own(module, fn); }
    Ref current(Fn fn) const { return functions.current(module, fn); }
    // Counts the module's calls into code that may change its globals (an
    // expression, a port look-up of the PDK, a replaced function).
    kv::Epoch calls_out;
    // Where the running import is, told by its code when an error goes by.
    Where where;

    // The lazy collaborators (`kv_pdk`), seen through once imported.
    kv::LazyHandles lazy;

    // Types created at exec (ir.cpp, lines.cpp).
    Ref ParseError, ParseWarning, Subckt, Conn;
    // The runtime's `ast` module and its `literal_eval`, as bound at exec:
    // while the globals still hold these, literal texts are read natively.
    Ref ast, literal_eval;
    Ref stream_type, chain_type;  // lazy line and word streams, `_chain` results

    // Interned names (attributes, keys, globals) and fixed tuples, made once
    // at exec (module.cpp).
    struct Names {
        Ref id, name, component, ports, settings, parent_id, children_ids;
        Ref instances, connections, placements;
        Ref x, y, rotation, port;  // keys of a placement
        Ref models, cells, get_pdk, get_ports, netlist, model_dump;
        Ref Subckt, Conn, ParseError, ParseWarning, kv_pdk, nodalis, natsorted;
        Ref resistor, capacitor, comma;
        Ref ast, literal_eval;
        Ref subckt_fields, conn_fields;  // keyword names of the record fields
        Ref source_ports;                // ("minus", "plus", "out", "gnd_")
        Ref two_pins;                    // ("minus", "plus")
    } names;
};

// The module's state; valid after exec.
inline State& state() { return kv::ModuleState<State>::get(); }

// Each concern registers its functions (and creates what it owns) at exec, in
// this order. Defined in the concern's own file.
void register_lines(State& st);
void register_values(State& st);
void register_literals(State& st);
void register_words(State& st);
void register_ir(State& st);
void register_ports(State& st);
void register_settings(State& st);
void register_assembly(State& st);
void register_entry(State& st);

}  // namespace spicenet
