// Cell registration: `register_cells` brings the active PDK's cells and the
// factory database into step with the project's sources, and `_find_cells`
// resolves each pending factory record to the callable that implements it
// (or to an error cell when its module or the factory cannot be found).
//
// Nothing is caught here: a step that fails ends the registration, and what
// the earlier steps did (cells registered, database written) stays done.
#include "diag.hpp"
#include "support.hpp"

namespace pdk {

// --- _find_cells -------------------------------------------------------------------

static void mark_missing(State& st, PyObject* cells, PyObject* name, PyObject* record,
                         PyObject* path, PyObject* error_type, std::initializer_list<PyObject*> message) {
    kv::set_attr(record, "status", kv::interned("ERROR").get());
    kv::set_attr(record, "message", cat(message).get());
    Ref text = kv::attr(record, "message");
    kv::log_line(st.module, st.log_names, kv::Level::Warning, text.get());
    Ref error = kv::call(error_type, {text.get()});
    Ref file_name = kv::attr(path, "name");
    Ref cell = call_error_cell(st, name, file_name.get(), error.get());
    kv::dict_set(cells, name, cell.get());
}

// One record still UNKNOWN: the attribute of its module, or an error cell.
static void find_cell(State& st, PyObject* new_cells, PyObject* modules, PyObject* name, PyObject* record) {
    Ref status = kv::attr(record, "status");
    if (!equal(status.get(), kv::interned("UNKNOWN").get())) return;

    Ref path = kv::call_method(record, "absolute_source");
    Ref mod = get_item(modules, path.get());
    if (!mod) {
        // Not imported with the others: import it now, once per file.
        Ref imports = kv::global(st.module, "imports");
        Ref one = kv::new_list();
        kv::list_append(one.get(), path.get());
        Ref kw = kwargs({{"paths", one.get()}, {"reload", Py_False}, {"from_project", Py_False}});
        Ref result = kv::call_method(imports.get(), "import_modules", {}, kw.get());
        auto [extra_modules, ignored] = kv::unpack_pair(result.get());
        merge(modules, extra_modules.get());
        mod = get_item(extra_modules.get(), path.get());
    }
    if (!mod) {
        Ref record_name = kv::attr(record, "name");
        mark_missing(st, new_cells, name, record, path.get(), PyExc_ModuleNotFoundError,
                     {kv::interned("Module for cell '").get(), format_text(record_name.get()).get(),
                      kv::interned("' with path ").get(), format_text(path.get()).get(),
                      kv::interned(" not found.").get()});
        return;
    }

    Ref cell = kv::attr_or_null(mod.get(), name);
    if (!cell || cell.is(Py_None)) {
        Ref record_name = kv::attr(record, "name");
        mark_missing(st, new_cells, name, record, path.get(), PyExc_ImportError,
                     {kv::interned("Cell '").get(), format_text(record_name.get()).get(),
                      kv::interned("' not found in '").get(), format_text(path.get()).get(),
                      kv::interned("'.").get()});
        return;
    }
    kv::dict_set(new_cells, name, cell.get());
}

static Ref find_cells(State& st, PyObject* static_records, PyObject* modules) {
    Ref new_cells = kv::new_dict();
    for_each_item(static_records, [&](PyObject* name, PyObject* record) {
        find_cell(st, new_cells.get(), modules, name, record);
    });
    return new_cells;
}

Ref call_find_cells(State& st, PyObject* static_records, PyObject* modules) {
    Ref f = st.functions.current(st.module, fn_find_cells);
    if (!st.functions.is_own(fn_find_cells, f.get())) return kv::call(f.get(), {static_records, modules});
    kv::check_type("static_records", static_records, kv::Type::Dict, false);
    kv::check_type("modules", modules, kv::Type::Dict, false);
    return find_cells(st, static_records, modules);
}

// --- register_cells ----------------------------------------------------------------

// The given paths as absolute, resolved paths, so that they compare equal to
// the records' source paths. A lone path is refused rather than iterated.
static Ref absolute_paths(State& st, PyObject* paths) {
    if (PyUnicode_Check(paths) || PyBytes_Check(paths) ||
        kv::ok(PyObject_HasAttrWithError(reinterpret_cast<PyObject*>(Py_TYPE(paths)),
                                         kv::interned("__fspath__").get())))
        kv::raise(PyExc_TypeError, "paths must be an iterable of paths, not a single path (%.200s)",
                  kv::type_name(paths));
    Ref result = kv::new_list();
    for_each(paths, [&](PyObject* item) {
        Ref path = kv::call(st.Path.get(), {item});
        kv::list_append(result.get(), kv::call_method(path.get(), "resolve").get());
    });
    return result;
}

// f(*names)
static Ref call_spread(PyObject* owner, const char* method, PyObject* names) {
    Ref f = kv::attr(owner, method);
    Ref args = kv::own(PySequence_Tuple(names));
    return kv::own(PyObject_Call(f.get(), args.get(), nullptr));
}

static Ref present_records_for(State& st, PyObject* static_records, PyObject* paths) {
    Ref db = kv::global(st.module, "db");
    if (PyList_GET_SIZE(paths) == 0) return kv::call_method(db.get(), "get_all_factories");

    Ref names = keys_of(static_records);
    Ref present = PyList_GET_SIZE(names.get()) > 0
                      ? call_spread(db.get(), "get_factories_by_name", names.get())
                      : kv::new_dict();
    // Factories the database holds for these files that the sources no
    // longer define: needed so that they can be removed.
    Ref by_source = call_spread(db.get(), "get_factories_by_source", paths);
    Ref extra_names = kv::new_list();
    for_each_value(by_source.get(), [&](PyObject* names) {
        for_each(names, [&](PyObject* name) {
            if (!contains(present.get(), name)) kv::list_append(extra_names.get(), name);
        });
    });
    if (PyList_GET_SIZE(extra_names.get()) > 0)
        merge(present.get(), call_spread(db.get(), "get_factories_by_name", extra_names.get()).get());
    return present;
}

static Ref register_cells(State& st, PyObject* given_paths, bool reload) {
    Ref paths = absolute_paths(st, given_paths);
    Ref pdk = call_get_pdk(st);
    Ref base_pdk = call_get_base_pdk(st);

    Ref cg = kv::global(st.module, "cg");
    Ref G = kv::call_method(cg.get(), "create_callgraph");
    Ref graph_kw = kwargs({{"paths", paths.get()}});
    Ref static_records = kv::call_method(cg.get(), "get_static_records", {G.get()}, graph_kw.get());
    if (!truthy(setting(st, "is_a_pdk").get()))
        static_records = call_filter_records_for_non_pdk_project(st, static_records.get(), base_pdk.get());

    Ref imported = call_import_modules(st, static_records.get(), paths.get(), reload ? Py_True : Py_False);
    auto [modules, errors] = kv::unpack_pair(imported.get());
    Ref handled = call_handle_import_errors(st, static_records.get(), errors.get());
    auto [error_cells, error_records] = kv::unpack_pair(handled.get());
    merge(static_records.get(), error_records.get());

    Ref found = call_find_cells(st, static_records.get(), modules.get());
    merge(found.get(), error_cells.get());
    Ref new_cells = kv::new_dict();
    for_each_item(found.get(), [&](PyObject* name, PyObject* cell) {
        if (contains(static_records.get(), name)) kv::dict_set(new_cells.get(), name, cell);
    });
    merge(kv::attr(pdk.get(), "cells").get(), new_cells.get());

    Ref present = present_records_for(st, static_records.get(), paths.get());
    Ref updates = call_get_database_updates(st, static_records.get(), present.get(), paths.get());
    auto [add, remove] = kv::unpack_pair(updates.get());
    Ref db = kv::global(st.module, "db");
    Ref update_kw = kwargs({{"add", add.get()}, {"remove", remove.get()}});
    (void)kv::call_method(db.get(), "update_factories", {}, update_kw.get());

    for_each(remove.get(), [&](PyObject* name) {
        Ref cells = kv::attr(pdk.get(), "cells");
        if (contains(cells.get(), name)) del_item(cells.get(), name);
    });

    Ref added = kv::new_list();
    for_each(add.get(), [&](PyObject* record) { kv::list_append(added.get(), kv::attr(record, "name").get()); });

    if (reload) {
        Ref register_models = kv::global(st.module, "register_models");
        Ref models_kw = kwargs({{"reload", Py_True}});
        (void)kv::call(register_models.get(), {G.get()}, models_kw.get());
    }
    call_clean_containers_also_in_cells(st, pdk.get());
    return kv::tuple_of({added.get(), remove.get()});
}

// --- module functions --------------------------------------------------------------

static PyObject* py_register_cells(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
    return kv::entry([&] {
        static const kv::Signature sig("register_cells", {kv::kwopt("paths"), kv::kwopt("reload")});
        kv::Args a = kv::bind(sig, args, nargs, kwnames);
        // Taken once, as a bool, before anything else: every later use sees
        // the same answer, and a failing truth test changes nothing.
        const bool reload = truthy(a.get(1, Py_True));
        Ref no_paths = kv::own(PyTuple_New(0));
        return register_cells(state(), a.get(0, no_paths.get()), reload);
    });
}

static PyObject* py_find_cells(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return kv::entry([&] {
        static const kv::Signature sig("_find_cells", {kv::req("static_records", kv::Type::Dict),
                                                       kv::req("modules", kv::Type::Dict)});
        kv::Args a = kv::bind(sig, args, nargs, kwnames);
        return find_cells(state(), a[0], a[1]);
    });
}

PyMethodDef def_register_cells = {
    "register_cells", kv::fastcall<py_register_cells>(), METH_FASTCALL | METH_KEYWORDS,
    "register_cells($module, *, paths=(), reload=True)\n--\n\n"
    "Register PDK cells.\n\n"
    "Args:\n"
    "    paths: Paths to Python modules containing PDK cells.\n"
    "        If empty, it will import all modules.\n"
    "    reload: Whether to reload the modules we're importing from.\n\n"
    "Returns:\n"
    "    List of names of newly registered cells.\n"
    "    List of names of deleted cells."};

PyMethodDef def_find_cells = {
    "_find_cells", kv::fastcall<py_find_cells>(), METH_FASTCALL | METH_KEYWORDS,
    "_find_cells($module, static_records, modules)\n--\n\n"
    "Resolve every record still UNKNOWN to the attribute of its module, or to\n"
    "an error cell when the module or the attribute cannot be found."};

}  // namespace pdk
