// Importing the project's source files for a registration: the files named by
// the factory records are handed to the import service in a fixed order, and
// every file that fails becomes error cells (callables that raise its import
// error) and error records (copies of its factory records with status
// "ERROR"), so that one broken file does not stop the registration.
#include <algorithm>
#include <vector>

#include "diag.hpp"
#include "support.hpp"

namespace pdk {

// --- _sort_paths -----------------------------------------------------------------

namespace {
struct SortEntry {
    Py_ssize_t depth;
    Py_ssize_t length;
    Ref text;
    Ref path;
};
}  // namespace

static Ref sort_paths(State& st, PyObject* paths) {
    std::vector<SortEntry> entries;
    for_each(paths, [&](PyObject* item) {
        Ref path = kv::call(st.Path.get(), {item});
        Ref resolved = kv::call_method(path.get(), "resolve");
        Ref parts = kv::attr(resolved.get(), "parts");
        const Py_ssize_t depth = PyObject_Length(parts.get());
        if (depth < 0) kv::raise_set();
        Ref text = kv::to_text(resolved.get());
        entries.push_back({depth, PyUnicode_GetLength(text.get()), text, resolved});
    });
    // (components, text length, text): shallow files first, then short paths.
    std::stable_sort(entries.begin(), entries.end(), [](const SortEntry& a, const SortEntry& b) {
        if (a.depth != b.depth) return a.depth < b.depth;
        if (a.length != b.length) return a.length < b.length;
        return PyUnicode_Compare(a.text.get(), b.text.get()) < 0;
    });
    Ref result = kv::new_list();
    for (const SortEntry& e : entries) kv::list_append(result.get(), e.path.get());
    return result;
}

Ref call_sort_paths(State& st, PyObject* paths) {
    Ref f = st.functions.current(st.module, fn_sort_paths);
    if (st.functions.is_own(fn_sort_paths, f.get())) return sort_paths(st, paths);
    return kv::call(f.get(), {paths});
}

// --- error cells -----------------------------------------------------------------
//
// An error cell is an instance of a class made at exec whose `__call__`
// raises the object held in its `error` slot. Names and module live in the
// instance dictionary, so they can be set like a function's.
//
// Raising one error object again and again would chain each call's frames
// onto its traceback, so a cell called in a loop would keep every caller's
// frames alive. The `origin` slot holds the error and the traceback it had
// when the cell was made; each call starts from that traceback again.

[[noreturn]] static void raise_object(PyObject* error) {
    if (PyExceptionInstance_Check(error)) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error)), error);
        kv::raise_set();
    }
    if (PyExceptionClass_Check(error)) {
        Ref instance = kv::call(error);
        if (PyExceptionInstance_Check(instance.get())) raise_object(instance.get());
        kv::raise(PyExc_TypeError,
                  "calling %R should have returned an instance of BaseException, not %.200s", error,
                  kv::type_name(instance.get()));
    }
    kv::raise(PyExc_TypeError, "exceptions must derive from BaseException");
}

static PyObject* py_error_cell_call(PyObject* self, PyObject*, PyObject*) {
    return kv::entry([&]() -> Ref {
        Ref error = kv::attr(self, "error");
        Ref origin = kv::attr_or_null(self, kv::interned("origin").get());
        if (origin && PyTuple_CheckExact(origin.get()) && PyTuple_GET_SIZE(origin.get()) == 2 &&
            PyTuple_GET_ITEM(origin.get(), 0) == error.get())
            kv::ok(PyException_SetTraceback(error.get(), PyTuple_GET_ITEM(origin.get(), 1)));
        raise_object(error.get());
    });
}

static PyObject* py_error_cell_repr(PyObject* self, PyObject*) {
    return kv::entry([&] {
        Ref qualname = kv::attr(self, "__qualname__");
        Ref modname = kv::attr(self, "__module__");
        return kv::own(PyUnicode_FromFormat("<error cell %S of %S>", qualname.get(), modname.get()));
    });
}

static PyMethodDef def_error_cell_call = {
    "__call__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(py_error_cell_call)),
    METH_VARARGS | METH_KEYWORDS,
    "__call__($self, /, *args, **kwargs)\n--\n\nRaise the error the cell failed with."};

static PyMethodDef def_error_cell_repr = {"__repr__", py_error_cell_repr, METH_NOARGS,
                                          "__repr__($self, /)\n--\n\nReturn repr(self)."};

Ref make_error_cell_type(State& st) {
    Ref ns = kv::new_dict();
    Ref modname = kv::attr(st.module, "__name__");
    kv::dict_set(ns.get(), "__module__", modname.get());
    kv::dict_set(ns.get(), "__qualname__", kv::interned("ErrorCell").get());
    kv::dict_set(ns.get(), "__doc__",
                 kv::text("Stands in for a cell that failed to load: calling it raises the error "
                          "it was made with.")
                     .get());
    Ref slots = kv::tuple_of({kv::interned("error").get(), kv::interned("origin").get(),
                              kv::interned("__dict__").get(), kv::interned("__weakref__").get()});
    kv::dict_set(ns.get(), "__slots__", slots.get());
    Ref bases = kv::own(PyTuple_New(0));
    Ref cls = kv::call(reinterpret_cast<PyObject*>(&PyType_Type),
                       {kv::interned("ErrorCell").get(), bases.get(), ns.get()});
    auto* type = reinterpret_cast<PyTypeObject*>(cls.get());
    for (PyMethodDef* def : {&def_error_cell_call, &def_error_cell_repr}) {
        Ref method = kv::own(PyDescr_NewMethod(type, def));
        kv::ok(PyObject_SetAttrString(cls.get(), def->ml_name, method.get()));
    }
    return cls;
}

static Ref error_cell(State& st, PyObject* funcname, PyObject* modname, PyObject* error) {
    Ref err = Ref::borrow(error);
    if (PyUnicode_Check(error)) err = kv::call(PyExc_RuntimeError, {error});
    Ref cell = kv::call(st.ErrorCell.get());
    kv::set_attr(cell.get(), "error", err.get());
    if (PyExceptionInstance_Check(err.get())) {
        Ref traceback = Ref::steal(PyException_GetTraceback(err.get()));
        Ref origin = kv::tuple_of({err.get(), traceback ? traceback.get() : Py_None});
        kv::set_attr(cell.get(), "origin", origin.get());
    }
    kv::set_attr(cell.get(), "__name__", funcname);
    kv::set_attr(cell.get(), "__qualname__", funcname);
    kv::set_attr(cell.get(), "__module__", modname);
    return cell;
}

Ref call_error_cell(State& st, PyObject* funcname, PyObject* modname, PyObject* error) {
    Ref f = st.functions.current(st.module, fn_error_cell);
    if (!st.functions.is_own(fn_error_cell, f.get())) return kv::call(f.get(), {funcname, modname, error});
    kv::check_type("funcname", funcname, kv::Type::Str, false);
    kv::check_type("modname", modname, kv::Type::Str, false);
    return error_cell(st, funcname, modname, error);
}

// --- _import_modules -------------------------------------------------------------

// Entries of `found` (a map keyed by path) under the record paths, in their
// order, keeping only true values. The list of record paths went to
// `_sort_paths`, which may be replaced and keep it: it is walked as a for
// loop walks a list, each path held while its look-up runs.
static Ref pick(PyObject* found, PyObject* record_paths) {
    Ref picked = kv::new_dict();
    for_each(record_paths, [&](PyObject* path) {
        Ref entry = get_item(found, path);
        if (entry && truthy(entry.get())) kv::dict_set(picked.get(), path, entry.get());
    });
    return picked;
}

static Ref import_modules(State& st, PyObject* static_records, PyObject* paths, bool reload) {
    // The records' source files, each once, in the order they first appear.
    Ref record_paths = kv::new_list();
    Ref seen = kv::new_dict();
    for_each_value(static_records, [&](PyObject* record) {
        Ref path = kv::call_method(record, "absolute_source");
        if (kv::ok(PyDict_Contains(seen.get(), path.get()))) return;
        kv::dict_set(seen.get(), path.get(), Py_None);
        kv::list_append(record_paths.get(), path.get());
    });
    if (PyList_GET_SIZE(paths) > 0) {
        Ref kept = kv::new_list();
        for_each(record_paths.get(), [&](PyObject* path) {
            if (contains(paths, path)) kv::list_append(kept.get(), path);
        });
        record_paths = kept;
    }

    Ref sorted = call_sort_paths(st, record_paths.get());
    Ref imports = kv::global(st.module, "imports");
    Ref kw = kwargs({{"paths", sorted.get()},
                     {"reload", reload ? Py_True : Py_False},
                     {"from_project", Py_False}});
    Ref result = kv::call_method(imports.get(), "import_modules", {}, kw.get());
    auto [modules, errors] = kv::unpack_pair(result.get());
    // Keyed by the record paths and in the records' order, not the import order.
    Ref picked_modules = pick(modules.get(), record_paths.get());
    Ref picked_errors = pick(errors.get(), record_paths.get());
    return kv::tuple_of({picked_modules.get(), picked_errors.get()});
}

Ref call_import_modules(State& st, PyObject* static_records, PyObject* paths, PyObject* reload) {
    Ref f = st.functions.current(st.module, fn_import_modules);
    if (!st.functions.is_own(fn_import_modules, f.get())) {
        Ref kw = kwargs({{"reload", reload}});
        return kv::call(f.get(), {static_records, paths}, kw.get());
    }
    kv::check_type("static_records", static_records, kv::Type::Dict, false);
    kv::check_type("paths", paths, kv::Type::List, false);
    return import_modules(st, static_records, paths, truthy(reload));
}

// --- _handle_import_errors -------------------------------------------------------

static Ref handle_import_errors(State& st, PyObject* static_records, PyObject* errors) {
    Ref error_cells = kv::new_dict();
    Ref error_records = kv::new_dict();

    // The static records of each source file, in the records' order.
    Ref by_path = kv::new_dict();
    for_each_value(static_records, [&](PyObject* record) {
        Ref path = kv::call_method(record, "absolute_source");
        Ref list = kv::dict_get(by_path.get(), path.get());
        if (!list) {
            list = kv::new_list();
            kv::dict_set(by_path.get(), path.get(), list.get());
        }
        kv::list_append(list.get(), record);
    });

    Ref imports = kv::global(st.module, "imports");
    for_each_item(errors, [&](PyObject* path, PyObject* failure) {
        auto [modname, error] = kv::unpack_pair(failure);

        Ref file_name = kv::attr(path, "name");
        Ref line = cat({format_text(file_name.get()).get(), kv::interned(": ").get(),
                        format_text(error.get()).get()});
        kv::log_line(st.module, st.log_names, kv::Level::Warning, line.get());

        // A scan that fails leaves only the static records' names.
        Ref scanned;
        try {
            scanned = kv::call_method(imports.get(), "get_cells_from_regex", {path});
        } catch (const kv::PyErrorSet&) {
            if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
            PyErr_Clear();
            scanned = kv::new_list();
        }

        // Scanned names in scan order, then static names not seen yet.
        Ref names = kv::new_list();
        Ref seen = kv::own(PySet_New(nullptr));
        auto visit = [&](PyObject* name) {
            if (kv::ok(PySet_Contains(seen.get(), name))) return;
            kv::ok(PySet_Add(seen.get(), name));
            kv::list_append(names.get(), name);
        };
        for_each(scanned.get(), visit);
        if (Ref same_file = kv::dict_get(by_path.get(), path))
            for_each(same_file.get(), [&](PyObject* record) { visit(kv::attr(record, "name").get()); });

        Ref message = kv::to_text(error.get());
        Ref status = kv::interned("ERROR");
        for_each(names.get(), [&](PyObject* name) {
            Ref cell = call_error_cell(st, name, modname.get(), error.get());
            kv::dict_set(error_cells.get(), name, cell.get());

            Ref record = kv::dict_get(static_records, name);
            if (!record || record.is(Py_None)) {
                Ref m = kv::global(st.module, "m");
                Ref factory_record = kv::attr(m.get(), "FactoryRecord");
                Ref source = kv::to_text(path);
                Ref kw = kwargs({{"name", name},
                                 {"source", source.get()},
                                 {"status", status.get()},
                                 {"message", message.get()}});
                record = kv::call(factory_record.get(), {}, kw.get());
            } else {
                // The static record itself stays as the call graph made it.
                record = kv::call(st.deepcopy.get(), {record.get()});
                kv::set_attr(record.get(), "status", status.get());
                kv::set_attr(record.get(), "message", message.get());
            }
            kv::dict_set(error_records.get(), name, record.get());
        });
    });
    return kv::tuple_of({error_cells.get(), error_records.get()});
}

Ref call_handle_import_errors(State& st, PyObject* static_records, PyObject* errors) {
    Ref f = st.functions.current(st.module, fn_handle_import_errors);
    if (!st.functions.is_own(fn_handle_import_errors, f.get()))
        return kv::call(f.get(), {static_records, errors});
    kv::check_type("static_records", static_records, kv::Type::Dict, false);
    kv::check_type("errors", errors, kv::Type::Dict, false);
    return handle_import_errors(st, static_records, errors);
}

// --- module functions --------------------------------------------------------------

static PyObject* py_sort_paths(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return kv::entry([&] {
        static const kv::Signature sig("_sort_paths", {kv::req("paths")});
        kv::Args a = kv::bind(sig, args, nargs, kwnames);
        return sort_paths(state(), a[0]);
    });
}

static PyObject* py_error_cell(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return kv::entry([&] {
        static const kv::Signature sig("_error_cell", {kv::req("funcname", kv::Type::Str),
                                                       kv::req("modname", kv::Type::Str),
                                                       kv::req("error")});
        kv::Args a = kv::bind(sig, args, nargs, kwnames);
        return error_cell(state(), a[0], a[1], a[2]);
    });
}

static PyObject* py_import_modules(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
    return kv::entry([&] {
        static const kv::Signature sig("_import_modules", {kv::req("static_records", kv::Type::Dict),
                                                           kv::req("paths", kv::Type::List),
                                                           kv::kwopt("reload")});
        kv::Args a = kv::bind(sig, args, nargs, kwnames);
        const bool reload = a[2] ? truthy(a[2]) : true;
        return import_modules(state(), a[0], a[1], reload);
    });
}

static PyObject* py_handle_import_errors(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                         PyObject* kwnames) {
    return kv::entry([&] {
        static const kv::Signature sig("_handle_import_errors",
                                       {kv::req("static_records", kv::Type::Dict),
                                        kv::req("errors", kv::Type::Dict)});
        kv::Args a = kv::bind(sig, args, nargs, kwnames);
        return handle_import_errors(state(), a[0], a[1]);
    });
}

PyMethodDef def_sort_paths = {
    "_sort_paths", kv::fastcall<py_sort_paths>(), METH_FASTCALL | METH_KEYWORDS,
    "_sort_paths($module, paths)\n--\n\n"
    "Resolve paths and order them for import: fewer components first, then\n"
    "shorter text, then the text itself."};

PyMethodDef def_error_cell = {
    "_error_cell", kv::fastcall<py_error_cell>(), METH_FASTCALL | METH_KEYWORDS,
    "_error_cell($module, funcname, modname, error)\n--\n\n"
    "Return a callable named funcname in module modname that raises error\n"
    "(a RuntimeError for a text) whenever it is called."};

PyMethodDef def_import_modules = {
    "_import_modules", kv::fastcall<py_import_modules>(), METH_FASTCALL | METH_KEYWORDS,
    "_import_modules($module, static_records, paths, *, reload=True)\n--\n\n"
    "Import the source files of the records (only those among paths, when\n"
    "given); return (modules, errors) keyed by the records' paths."};

PyMethodDef def_handle_import_errors = {
    "_handle_import_errors", kv::fastcall<py_handle_import_errors>(), METH_FASTCALL | METH_KEYWORDS,
    "_handle_import_errors($module, static_records, errors)\n--\n\n"
    "Turn every file that failed to import into error cells and error\n"
    "records; return (error_cells, error_records)."};

}  // namespace pdk
