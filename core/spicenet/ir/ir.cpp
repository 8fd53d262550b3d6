// The intermediate representation (see ir.hpp): reading the content of a
// path or stream, the choice between reading it natively (native_reader.cpp,
// which goes on through the module globals from the point where it finds a
// function replaced) and calling the module globals `_iter_relevant_lines`
// and `_parse_into_ir`, the record types and the module functions.
#include "ir.hpp"

#include <memory>

#include "bound.hpp"
#include "lines.hpp"
#include "native_ir.hpp"

namespace spicenet {

Ref read_content(State& st, PyObject* path_or_buf) {
    bool is_path = PyUnicode_Check(path_or_buf);
    if (!is_path) {
        Ref path_type = kv::global(st.module, "Path");
        is_path = kv::ok(PyObject_IsInstance(path_or_buf, path_type.get())) ||
                  kv::ok(PyObject_HasAttrStringWithError(path_or_buf, "__fspath__"));
    }
    if (!is_path) return kv::call_method(path_or_buf, "read");

    Ref name = kv::interned("open");
    Ref open = kv::dict_get(PyModule_GetDict(st.module), name.get());
    if (!open) open = kv::attr(kv::import("builtins").get(), name.get());
    Ref file = kv::call(open.get(), {path_or_buf});
    PyObject* content = PyObject_CallMethod(file.get(), "read", nullptr);
    if (!content) {
        // Close, and let an error of close() carry the read error as its context.
        Ref read_error = Ref::steal(PyErr_GetRaisedException());
        PyObject* closed = PyObject_CallMethod(file.get(), "close", nullptr);
        if (closed) {
            Ref done = Ref::steal(closed);
            PyErr_SetRaisedException(read_error.release());
        } else {
            Ref close_error = Ref::steal(PyErr_GetRaisedException());
            PyException_SetContext(close_error.get(), read_error.release());
            PyErr_SetRaisedException(close_error.release());
        }
        kv::raise_set();
    }
    Ref result = Ref::steal(content);
    (void)kv::call_method(file.get(), "close");
    return result;
}

namespace {

// The pair of a reading: its records when it was handed over, else those of the IR.
Ref pair_of(State& st, Ref handed_over, NativeIr& ir) { return handed_over ? handed_over : materialize(st, ir); }

}  // namespace

Ref parse_into_ir(State& st, PyObject* lines, PyObject* component_map, PyObject* kwargs) {
    auto ir = std::make_unique<NativeIr>();
    return pair_of(st, read_lines_into(st, lines, component_map, kwargs, *ir), *ir);
}

Ref parse_content_into_ir(State& st, PyObject* content, PyObject* component_map, PyObject* kwargs,
                          bool* counted) {
    Ref parse = st.current(fn_parse_into_ir);
    Ref iter = st.current(fn_iter_relevant_lines);
    const bool parse_own = st.functions.is_own(fn_parse_into_ir, parse.get());
    if (parse_own && relevant_lines_own(st)) {
        // One pass from the content to the records, no str per line or word.
        if (counted) *counted = true;
        auto ir = std::make_unique<NativeIr>();
        return pair_of(st, read_into(st, content, component_map, kwargs, *ir), *ir);
    }
    Ref lines = st.functions.is_own(fn_iter_relevant_lines, iter.get()) ? iter_relevant_lines(st, content)
                                                                          : kv::call(iter.get(), {content});
    if (parse_own) return parse_into_ir(st, lines.get(), component_map, kwargs);
    Ref no_kwargs;
    if (!kwargs) no_kwargs = kv::new_dict();
    return kv::call(parse.get(), {lines.get(), component_map}, kwargs ? kwargs : no_kwargs.get());
}

// --- types and module functions -----------------------------------------------------

namespace {

Ref make_record(const char* name, const char* doc, std::initializer_list<std::pair<const char*, const char*>> fields) {
    Ref dataclasses = kv::import("dataclasses");
    Ref make_dataclass = kv::attr(dataclasses.get(), "make_dataclass");
    Ref field_list = kv::new_list();
    for (auto [field, annotation] : fields) {
        Ref pair = kv::tuple_of({kv::text(field).get(), kv::text(annotation).get()});
        kv::list_append(field_list.get(), pair.get());
    }
    Ref namespace_ = kv::new_dict();
    kv::dict_set(namespace_.get(), "__doc__", kv::text(doc).get());
    Ref kwargs = kv::new_dict();
    kv::dict_set(kwargs.get(), "namespace", namespace_.get());
    kv::dict_set(kwargs.get(), "module", kv::text("korvane.core.spicenet").get());
    return kv::call(make_dataclass.get(), {kv::text(name).get(), field_list.get()}, kwargs.get());
}


PyObject* py_parse_oc_spice_into_ir(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return kv::entry([&] {
        NamedArgs a = bind_named("_parse_oc_spice_into_ir",
                                 {kv::req("path_or_buf"), kv::req("component_map", kv::Type::Dict)}, args, nargs,
                                 kwnames);
        return nested_call(state().where, [&] {
            Ref content = read_content(state(), a.values[0]);
            return parse_content_into_ir(state(), content.get(), a.values[1], a.named.get());
        });
    });
}

PyObject* py_parse_into_ir(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return kv::entry([&] {
        NamedArgs a = bind_named("_parse_into_ir", {kv::req("lines"), kv::req("component_map", kv::Type::Dict)},
                                 args, nargs, kwnames);
        return nested_call(state().where,
                           [&] { return parse_into_ir(state(), a.values[0], a.values[1], a.named.get()); });
    });
}

PyObject* py_parse_location_comment(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return bound_call(args, nargs, kwnames, "_parse_location_comment", {kv::req("comment", kv::Type::Str)},
                      [&](const kv::Args& a) { return parse_location_comment(state(), a[0]); });
}

PyMethodDef def_parse_oc_spice_into_ir = {
    "_parse_oc_spice_into_ir", kv::fastcall<py_parse_oc_spice_into_ir>(), METH_FASTCALL | METH_KEYWORDS,
    "_parse_oc_spice_into_ir($module, path_or_buf, component_map, /, **kwargs)\n--\n\n"
    "Read a netlist from a path (opened as a text file) or an open text stream\n"
    "into (IR map, comments map)."};
PyMethodDef def_parse_into_ir = {
    "_parse_into_ir", kv::fastcall<py_parse_into_ir>(), METH_FASTCALL | METH_KEYWORDS,
    "_parse_into_ir($module, lines, component_map, /, **kwargs)\n--\n\n"
    "Build (IR map, comments map) from relevant lines: Subckt records for\n"
    "closed blocks, Conn records for their element lines, keyed by line position."};
PyMethodDef def_parse_location_comment = {
    "_parse_location_comment", kv::fastcall<py_parse_location_comment>(), METH_FASTCALL | METH_KEYWORDS,
    "_parse_location_comment($module, comment)\n--\n\n"
    "The placement of a location=(port)(x,y,rotation) comment: x, y, rotation\n"
    "and port when named; empty when the comment gives none."};

}  // namespace

void register_ir(State& st) {
    st.ParseError = kv::own(PyErr_NewExceptionWithDoc("korvane.core.spicenet.ParseError", "Error while parsing spice.",
                                                      PyExc_RuntimeError, nullptr));
    st.ParseWarning = kv::own(PyErr_NewExceptionWithDoc(
        "korvane.core.spicenet.ParseWarning", "Warning while parsing spice.", PyExc_Warning, nullptr));
    st.Subckt = make_record("Subckt", "Subcircuit.",
                            {{"id", "int"},
                             {"component", "str"},
                             {"ports", "tuple[str, ...]"},
                             {"settings", "dict[str, Any]"},
                             {"parent_id", "int"},
                             {"children_ids", "tuple[int, ...]"}});
    st.Conn = make_record("Conn", "Connection.",
                          {{"id", "int"},
                           {"name", "str"},
                           {"component", "str"},
                           {"ports", "tuple[str, ...]"},
                           {"settings", "dict[str, Any]"},
                           {"parent_id", "int"}});
    kv::bind(st.module, "ParseError", st.ParseError.get());
    kv::bind(st.module, "ParseWarning", st.ParseWarning.get());
    kv::bind(st.module, "Subckt", st.Subckt.get());
    kv::bind(st.module, "Conn", st.Conn.get());

    st.functions.add(st.module, fn_parse_oc_spice_into_ir, &def_parse_oc_spice_into_ir);
    st.functions.add(st.module, fn_parse_into_ir, &def_parse_into_ir);
    st.functions.add(st.module, fn_parse_location_comment, &def_parse_location_comment);
}

}  // namespace spicenet
