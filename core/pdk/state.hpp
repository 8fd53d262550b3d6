// State of korvane.core.pdk: the module object, its own function objects, the
// FrozenPdk and error-cell types and the runtime facilities the module uses.
// Created once at module exec; lives as long as the module.
//
// Each concern file defines the PyMethodDefs of its functions and the C++
// bodies behind them; module.cpp binds the functions in the module's layout
// order. Calls between the module's functions go through `call_*` helpers,
// which look the name up in the module globals first (late binding) and run
// the C++ body directly only when the global is still the module's own.
#pragma once

#include "args.hpp"
#include "diag.hpp"
#include "module.hpp"
#include "objects.hpp"

namespace pdk {

using kv::Ref;

enum Fn : size_t {
    fn_get_pdk,
    fn_get_base_pdk,
    fn_register_cells,
    fn_activate_pdk_by_name,
    fn_get_pdk_uncached,  // _get_pdk
    fn_sort_paths,
    fn_error_cell,
    fn_import_modules,
    fn_handle_import_errors,
    fn_find_cells,
    fn_get_database_updates,
    fn_clean_containers_also_in_cells,
    fn_filter_records_for_non_pdk_project,
    fn_count
};

struct State {
    PyObject* module = nullptr;  // borrowed: the module outlives its state
    kv::FunctionTable functions{fn_count};
    Ref FrozenPdk;
    Ref ErrorCell;  // type of the callables that stand in for cells that failed

    // Runtime facilities, taken at exec.
    Ref Path;           // pathlib.Path
    Ref Mapping;        // collections.abc.Mapping
    Ref import_module;  // importlib.import_module
    Ref reload;         // importlib.reload
    Ref copy;           // copy.copy
    Ref deepcopy;       // copy.deepcopy
    Ref by_name;        // operator.attrgetter("name")

    // Names every `get_pdk` call uses, interned once.
    kv::LogNames log_names;
    Ref str_activate = kv::interned("activate");
    Ref str_name = kv::interned("name");
    Ref activated = kv::text("Activated PDK: ");
};

inline State& state() { return kv::ModuleState<State>::get(); }

// --- access.cpp ---------------------------------------------------------------
extern PyMethodDef def_get_pdk;
extern PyMethodDef def_get_base_pdk;
extern PyMethodDef def_activate_pdk_by_name;
extern PyMethodDef def_get_pdk_uncached;
// The current `get_pdk` / `get_base_pdk` globals, called.
Ref call_get_pdk(State& st);
Ref call_get_base_pdk(State& st);

// --- frozen.cpp ---------------------------------------------------------------
// Creates FrozenPdk, derived from `base` (the host library's Pdk).
Ref make_frozen_pdk(State& st, PyObject* base);

// --- imports.cpp --------------------------------------------------------------
extern PyMethodDef def_sort_paths;
extern PyMethodDef def_error_cell;
extern PyMethodDef def_import_modules;
extern PyMethodDef def_handle_import_errors;
Ref make_error_cell_type(State& st);
Ref call_sort_paths(State& st, PyObject* paths);
Ref call_error_cell(State& st, PyObject* funcname, PyObject* modname, PyObject* error);
Ref call_import_modules(State& st, PyObject* static_records, PyObject* paths, PyObject* reload);
Ref call_handle_import_errors(State& st, PyObject* static_records, PyObject* errors);

// --- registration.cpp ---------------------------------------------------------
extern PyMethodDef def_register_cells;
extern PyMethodDef def_find_cells;
Ref call_find_cells(State& st, PyObject* static_records, PyObject* modules);

// --- database.cpp -------------------------------------------------------------
extern PyMethodDef def_get_database_updates;
extern PyMethodDef def_clean_containers_also_in_cells;
extern PyMethodDef def_filter_records_for_non_pdk_project;
Ref call_get_database_updates(State& st, PyObject* static_records, PyObject* present_records,
                              PyObject* paths);
void call_clean_containers_also_in_cells(State& st, PyObject* pdk);
Ref call_filter_records_for_non_pdk_project(State& st, PyObject* static_records, PyObject* base_pdk);

}  // namespace pdk
