// State of korvane.core.pdk: the module object, its own function objects and
// the FrozenPdk class. Created once at module exec.
#pragma once

#include "args.hpp"
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
};

State& state();

}  // namespace pdk
