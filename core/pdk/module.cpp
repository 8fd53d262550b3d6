// korvane.core.pdk: binds the collaborators in their load order, loads the
// host layout library (FrozenPdk derives from its Pdk class) and binds the
// module's functions and FrozenPdk in their layout order. The logic lives in
// the concern files (access, frozen, imports, registration, database).
#include "support.hpp"

namespace pdk {

static void take_runtime_facilities(State& st) {
    Ref pathlib = kv::import("pathlib");
    st.Path = kv::attr(pathlib.get(), "Path");
    Ref abc = kv::import("collections.abc");
    st.Mapping = kv::attr(abc.get(), "Mapping");
    Ref importlib = kv::import("importlib");
    st.import_module = kv::attr(importlib.get(), "import_module");
    st.reload = kv::attr(importlib.get(), "reload");
    Ref copy = kv::import("copy");
    st.copy = kv::attr(copy.get(), "copy");
    st.deepcopy = kv::attr(copy.get(), "deepcopy");
    Ref op = kv::import("operator");
    Ref attrgetter = kv::attr(op.get(), "attrgetter");
    st.by_name = kv::call(attrgetter.get(), {kv::interned("name").get()});
}

static void init(PyObject* m) {
    State& st = kv::ModuleState<State>::create(m);

    kv::bind(m, "__doc__", kv::text("PDK Utilties.").get());
    kv::bind_lazy(m, "m", "korvane.models");
    kv::bind_lazy(m, "cg", "korvane.core.callgraph");
    kv::bind_lazy(m, "lv", "lumivar");
    kv::bind_lazy(m, "log", "korvane.logger", "get_logger");
    kv::bind_lazy(m, "settings", "korvane.settings");
    kv::bind_lazy(m, "frozendict", "frozendict", "frozendict");
    kv::bind_lazy(m, "imports", "korvane.core.imports");
    kv::bind_lazy(m, "db", "korvane.core.database");
    kv::bind_lazy(m, "register_models", "korvane.core.models", "register_models");
    Ref lumivar = kv::import("lumivar");
    Ref Pdk = kv::attr(lumivar.get(), "Pdk");

    take_runtime_facilities(st);
    st.ErrorCell = make_error_cell_type(st);
    Ref functools = kv::import("functools");
    Ref cache = kv::attr(functools.get(), "cache");

    kv::FunctionTable& fns = st.functions;
    fns.add(m, fn_get_pdk, &def_get_pdk);
    fns.add(m, fn_get_base_pdk, &def_get_base_pdk, cache.get());
    fns.add(m, fn_register_cells, &def_register_cells);
    fns.add(m, fn_activate_pdk_by_name, &def_activate_pdk_by_name);
    st.FrozenPdk = make_frozen_pdk(st, Pdk.get());
    kv::bind(m, "FrozenPdk", st.FrozenPdk.get());
    fns.add(m, fn_get_pdk_uncached, &def_get_pdk_uncached, cache.get());
    fns.add(m, fn_sort_paths, &def_sort_paths);
    fns.add(m, fn_error_cell, &def_error_cell);
    fns.add(m, fn_import_modules, &def_import_modules);
    fns.add(m, fn_handle_import_errors, &def_handle_import_errors);
    fns.add(m, fn_find_cells, &def_find_cells);
    fns.add(m, fn_get_database_updates, &def_get_database_updates);
    fns.add(m, fn_clean_containers_also_in_cells, &def_clean_containers_also_in_cells);
    fns.add(m, fn_filter_records_for_non_pdk_project, &def_filter_records_for_non_pdk_project);
}

}  // namespace pdk

KORVANE_MODULE(pdk, pdk::init)
