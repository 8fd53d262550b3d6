// The factory database side of a registration: which records to write and
// which names to delete, which records belong to the project (or to the base
// PDK), and which of a name held both as cell and container survives.
#include "diag.hpp"
#include "support.hpp"

namespace pdk {

// The names, sorted, as the runtime writes a list of strings.
static Ref render(PyObject* names) {
    Ref sorted = kv::own(PySequence_List(names));
    kv::ok(PyList_Sort(sorted.get()));
    return kv::own(PyObject_Repr(sorted.get()));
}

static void log_names(State& st, const char* prefix, PyObject* names) {
    Ref line = cat({kv::interned(prefix).get(), render(names).get()});
    kv::log_line(st.module, st.log_names, kv::Level::Info, line.get());
}

// --- _get_database_updates ---------------------------------------------------------

static Ref get_database_updates(State& st, PyObject* static_records, PyObject* present_records,
                                PyObject* paths) {
    Ref static_names = keys_of(static_records);
    const Py_ssize_t count = PyList_GET_SIZE(static_names.get());

    Ref new_names = kv::new_list();
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* name = PyList_GET_ITEM(static_names.get(), i);
        if (!contains(present_records, name)) kv::list_append(new_names.get(), name);
    }
    log_names(st, "new factories: ", new_names.get());
    Ref add = kv::new_list();
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(new_names.get()); ++i) {
        Ref record = kv::own(PyObject_GetItem(static_records, PyList_GET_ITEM(new_names.get(), i)));
        kv::list_append(add.get(), record.get());
    }

    Ref updated_names = kv::new_list();
    Ref failed = kv::interned("ERROR");
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* name = PyList_GET_ITEM(static_names.get(), i);
        if (!contains(present_records, name)) continue;
        Ref s = kv::own(PyObject_GetItem(static_records, name));
        Ref p = kv::own(PyObject_GetItem(present_records, name));
        Ref s_source = kv::attr(s.get(), "source");
        Ref p_source = kv::attr(p.get(), "source");
        bool write = !equal(s_source.get(), p_source.get());
        if (!write) {
            Ref absolute = kv::call_method(s.get(), "absolute_source");
            write = contains(paths, absolute.get());
        }
        if (!write) {
            // A record that failed in this registration keeps its own status
            // and message; any other takes over what the database holds.
            Ref status = kv::attr(s.get(), "status");
            if (!equal(status.get(), failed.get())) {
                kv::set_attr(s.get(), "status", kv::attr(p.get(), "status").get());
                kv::set_attr(s.get(), "message", kv::attr(p.get(), "message").get());
            }
            write = kv::ok(PyObject_RichCompareBool(s.get(), p.get(), Py_NE)) == 1;
        }
        if (write) {
            kv::list_append(add.get(), s.get());
            kv::list_append(updated_names.get(), kv::attr(s.get(), "name").get());
        }
    }
    Ref updated_set = kv::own(PySet_New(updated_names.get()));
    log_names(st, "updated factories: ", updated_set.get());

    Ref remove = kv::new_list();
    Ref present_names = keys_of(present_records);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(present_names.get()); ++i) {
        PyObject* name = PyList_GET_ITEM(present_names.get(), i);
        if (!contains(static_records, name)) kv::list_append(remove.get(), name);
    }
    log_names(st, "removed factories: ", remove.get());

    Ref sort_kw = kwargs({{"key", st.by_name.get()}});
    (void)kv::call_method(add.get(), "sort", {}, sort_kw.get());
    kv::ok(PyList_Sort(remove.get()));
    return kv::tuple_of({add.get(), remove.get()});
}

Ref call_get_database_updates(State& st, PyObject* static_records, PyObject* present_records,
                              PyObject* paths) {
    Ref f = st.functions.current(st.module, fn_get_database_updates);
    if (!st.functions.is_own(fn_get_database_updates, f.get()))
        return kv::call(f.get(), {static_records, present_records, paths});
    kv::check_type("static_records", static_records, kv::Type::Dict, false);
    kv::check_type("present_records", present_records, kv::Type::Dict, false);
    kv::check_type("paths", paths, kv::Type::List, false);
    return get_database_updates(st, static_records, present_records, paths);
}

// --- _clean_containers_also_in_cells ---------------------------------------------

static bool module_name_of(PyObject* factory, Ref& out) {
    out = kv::attr_or_null(factory, kv::interned("__module__").get());
    return out && truthy(out.get());
}

static bool starts_with(PyObject* text, PyObject* prefix) {
    return truthy(kv::call_method(text, "startswith", {prefix}).get());
}

static void clean_containers_also_in_cells(State& st, PyObject* pdk) {
    Ref project_name = setting(st, "get_project_name");
    Ref prefix = kv::own(PyUnicode_Concat(project_name.get(), kv::interned(".").get()));
    Ref cells_attr = kv::interned("cells");
    Ref containers_attr = kv::interned("containers");

    Ref keys = keys_of(kv::attr(pdk, containers_attr.get()).get());
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys.get()); ++i) {
        PyObject* k = PyList_GET_ITEM(keys.get(), i);
        Ref cells = kv::attr(pdk, cells_attr.get());
        if (!contains(cells.get(), k)) continue;
        Ref containers = kv::attr(pdk, containers_attr.get());
        Ref container = kv::own(PyObject_GetItem(containers.get(), k));
        Ref cell = kv::own(PyObject_GetItem(cells.get(), k));

        if (container.is(cell.get())) {
            del_item(cells.get(), k);
            continue;
        }
        Ref container_mod, cell_mod;
        if (!module_name_of(container.get(), container_mod)) {
            del_item(containers.get(), k);
            continue;
        }
        if (!module_name_of(cell.get(), cell_mod)) {
            del_item(cells.get(), k);
            continue;
        }
        // The project's own package wins, the container's module examined
        // first; between two outsiders the cell wins. The cell's module is
        // asked even though both answers keep the cell: a module name that is
        // not text fails there.
        if (starts_with(container_mod.get(), prefix.get()))
            del_item(cells.get(), k);
        else if (starts_with(cell_mod.get(), prefix.get()))
            del_item(containers.get(), k);
        else
            del_item(containers.get(), k);
    }
}

void call_clean_containers_also_in_cells(State& st, PyObject* pdk) {
    Ref f = st.functions.current(st.module, fn_clean_containers_also_in_cells);
    if (st.functions.is_own(fn_clean_containers_also_in_cells, f.get()))
        clean_containers_also_in_cells(st, pdk);
    else
        (void)kv::call(f.get(), {pdk});
}

// --- _filter_records_for_non_pdk_project -------------------------------------------

static bool lies_under(PyObject* path, PyObject* root) {
    try {
        (void)kv::call_method(path, "relative_to", {root});
        return true;
    } catch (const kv::PyErrorSet&) {
        if (!PyErr_ExceptionMatches(PyExc_ValueError)) throw;
        PyErr_Clear();
        return false;
    }
}

static Ref filter_records_for_non_pdk_project(State& st, PyObject* static_records,
                                              PyObject* base_pdk) {
    Ref project_dir = setting(st, "get_project_dir");
    Ref project_name = setting(st, "get_project_name");
    Ref project_path = kv::own(PyNumber_TrueDivide(project_dir.get(), project_name.get()));

    Ref filtered = kv::new_dict();
    for_each_item(static_records, [&](PyObject* name, PyObject* record) {
        Ref source_path = kv::call_method(record, "absolute_source");
        const bool is_project_cell = lies_under(source_path.get(), project_path.get());
        Ref base_cells = kv::attr(base_pdk, "cells");
        const bool is_base_pdk_cell = contains(base_cells.get(), name);
        if (is_project_cell || is_base_pdk_cell) kv::dict_set(filtered.get(), name, record);
    });
    return filtered;
}

Ref call_filter_records_for_non_pdk_project(State& st, PyObject* static_records, PyObject* base_pdk) {
    Ref f = st.functions.current(st.module, fn_filter_records_for_non_pdk_project);
    if (!st.functions.is_own(fn_filter_records_for_non_pdk_project, f.get()))
        return kv::call(f.get(), {static_records, base_pdk});
    kv::check_type("static_records", static_records, kv::Type::Dict, false);
    return filter_records_for_non_pdk_project(st, static_records, base_pdk);
}

// --- module functions --------------------------------------------------------------

static PyObject* py_get_database_updates(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                         PyObject* kwnames) {
    return kv::entry([&] {
        static const kv::Signature sig("_get_database_updates",
                                       {kv::req("static_records", kv::Type::Dict),
                                        kv::req("present_records", kv::Type::Dict),
                                        kv::req("paths", kv::Type::List)});
        kv::Args a = kv::bind(sig, args, nargs, kwnames);
        return get_database_updates(state(), a[0], a[1], a[2]);
    });
}

static PyObject* py_clean_containers_also_in_cells(PyObject*, PyObject* const* args,
                                                   Py_ssize_t nargs, PyObject* kwnames) {
    return kv::entry([&] {
        static const kv::Signature sig("_clean_containers_also_in_cells", {kv::req("pdk")});
        kv::Args a = kv::bind(sig, args, nargs, kwnames);
        clean_containers_also_in_cells(state(), a[0]);
        return kv::none();
    });
}

static PyObject* py_filter_records_for_non_pdk_project(PyObject*, PyObject* const* args,
                                                       Py_ssize_t nargs, PyObject* kwnames) {
    return kv::entry([&] {
        static const kv::Signature sig("_filter_records_for_non_pdk_project",
                                       {kv::req("static_records", kv::Type::Dict),
                                        kv::req("base_pdk")});
        kv::Args a = kv::bind(sig, args, nargs, kwnames);
        return filter_records_for_non_pdk_project(state(), a[0], a[1]);
    });
}

PyMethodDef def_get_database_updates = {
    "_get_database_updates", kv::fastcall<py_get_database_updates>(), METH_FASTCALL | METH_KEYWORDS,
    "_get_database_updates($module, static_records, present_records, paths)\n--\n\n"
    "Compare the records found in the sources with the stored ones; return\n"
    "(records to write, sorted by name; names to delete, sorted)."};

PyMethodDef def_clean_containers_also_in_cells = {
    "_clean_containers_also_in_cells", kv::fastcall<py_clean_containers_also_in_cells>(),
    METH_FASTCALL | METH_KEYWORDS,
    "_clean_containers_also_in_cells($module, pdk)\n--\n\n"
    "Keep every name held both as cell and container in only one of the two."};

PyMethodDef def_filter_records_for_non_pdk_project = {
    "_filter_records_for_non_pdk_project", kv::fastcall<py_filter_records_for_non_pdk_project>(),
    METH_FASTCALL | METH_KEYWORDS,
    "_filter_records_for_non_pdk_project($module, static_records, base_pdk)\n--\n\n"
    "Filter records for non-PDK projects.\n\n"
    "When working in a project that is not a PDK, we only want to keep cells that:\n"
    "1. Have a source which is part of the current project (project_dir / project_name)\n"
    "2. OR are cells registered in the base_pdk.cells\n\n"
    "Args:\n"
    "    static_records: The static records from the callgraph.\n"
    "    base_pdk: The base PDK object.\n\n"
    "Returns:\n"
    "    Filtered records containing only project cells and base PDK cells."};

}  // namespace pdk
