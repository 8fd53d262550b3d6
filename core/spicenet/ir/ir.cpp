// The intermediate representation (see ir.hpp).
//
// Each relevant line takes one of two roads. When every function a line
// needs is still the module's own, the line is handled on UTF-8 views and
// Python objects are made only for what a record or the comments map keeps.
// Otherwise the line goes through the module globals with Python objects, as
// the functions would call each other in Python.
#include "ir.hpp"

#include <string>
#include <vector>

#include "diagnostics.hpp"
#include "lines.hpp"
#include "native_ir.hpp"
#include "net_maps.hpp"
#include "text_unicode.hpp"
#include "values.hpp"
#include "words.hpp"

namespace spicenet {

namespace {

bool truthy(PyObject* obj) { return kv::ok(PyObject_IsTrue(obj)); }

bool equals(PyObject* obj, const char* ascii) {
    Ref text = kv::text(ascii);
    return kv::ok(PyObject_RichCompareBool(obj, text.get(), Py_EQ));
}

bool starts_with(PyObject* obj, const char* prefix) {
    Ref text = kv::text(prefix);
    Ref result = kv::call_method(obj, "startswith", {text.get()});
    return truthy(result.get());
}

// A subcircuit block that is open: its name as written and, because each
// block collects its own element lines, the ids of its children.
struct OpenBlock {
    Ref name;
    std::vector<Ref> children;
};

class Builder {
  public:
    Builder(State& st, PyObject* component_map, PyObject* kwargs)
        : st_(st), component_map_(component_map), kwargs_(kwargs) {
        if (!kwargs_) {
            empty_kwargs_ = kv::new_dict();
            kwargs_ = empty_kwargs_.get();
        }
    }

    // One relevant line, from a view (`line_obj` NULL) or from a str.
    void add(std::string_view line, PyObject* line_obj) {
        next_id();
        if (line_functions_own()) {
            native(line);
        } else {
            Ref obj = line_obj ? Ref::borrow(line_obj) : kv::text(line);
            generic(obj.get());
        }
    }

    // One relevant line of any type, from an iterable.
    void add(PyObject* line) {
        next_id();
        if (line_functions_own()) {
            kv::check_type("line", line, kv::Type::Str, false);
            text::Utf8 u(line);
            native(u.view);
        } else {
            generic(line);
        }
    }

    Ref finish() {
        // Blocks never closed keep their elements in the map but give no
        // record: say so rather than lose them silently.
        for (const OpenBlock& block : blocks_) warn_unclosed_block(st_, block.name.get());
        return kv::tuple_of({ir_.get(), comments_.get()});
    }

  private:
    void next_id() {
        ++index_;
        id_.reset();
    }
    // The line's position as an int, made when something keeps it.
    PyObject* id() {
        if (!id_) id_ = kv::own(PyLong_FromSsize_t(index_));
        return id_.get();
    }

    bool line_functions_own() {
        return st_.own(fn_split_comments) && st_.own(fn_chain) && st_.own(fn_split_words) &&
               st_.own(fn_filter_empty) && st_.own(fn_handle_sources) &&
               st_.own(fn_get_ir_ports) && st_.own(fn_get_ir_settings) &&
               st_.own(fn_get_parent_id);
    }

    Ref mapped(PyObject* name) {
        Ref to = kv::dict_get(component_map_, name);
        return to ? to : Ref::borrow(name);
    }

    // --- records and blocks ---------------------------------------------------

    void open_block(PyObject* name, PyObject* component, PyObject* ports, PyObject* settings, PyObject* parent_id) {
        Ref type = kv::global(st_.module, st_.names.Subckt.get());
        Ref no_children = kv::own(PyTuple_New(0));
        PyObject* args[] = {id(), component, ports, settings, parent_id, no_children.get()};
        Ref record = kv::own(PyObject_Vectorcall(type.get(), args, 0, st_.names.subckt_fields.get()));
        kv::list_append(parents_.get(), record.get());
        blocks_.push_back({Ref::borrow(name), {}});
    }

    void close_block() {
        const Py_ssize_t n = PyList_GET_SIZE(parents_.get());
        if (n == 0) raise_ends_before_begin(st_);
        Ref record = Ref::borrow(PyList_GET_ITEM(parents_.get(), n - 1));
        kv::ok(PyList_SetSlice(parents_.get(), n - 1, n, nullptr));
        std::vector<Ref> children;
        if (!blocks_.empty()) {
            children = std::move(blocks_.back().children);
            blocks_.pop_back();
        }
        Ref id = kv::attr(record.get(), st_.names.id.get());
        kv::dict_set(ir_.get(), id.get(), record.get());
        Ref ids = kv::own(PyTuple_New(static_cast<Py_ssize_t>(children.size())));
        for (size_t i = 0; i < children.size(); ++i)
            PyTuple_SET_ITEM(ids.get(), static_cast<Py_ssize_t>(i), children[i].release());
        kv::ok(PyObject_SetAttr(record.get(), st_.names.children_ids.get(), ids.get()));
    }

    void add_element(PyObject* name, PyObject* component, PyObject* ports, PyObject* settings, PyObject* parent_id) {
        Ref type = kv::global(st_.module, st_.names.Conn.get());
        PyObject* args[] = {id(), name, component, ports, settings, parent_id};
        Ref record = kv::own(PyObject_Vectorcall(type.get(), args, 0, st_.names.conn_fields.get()));
        if (!blocks_.empty()) blocks_.back().children.push_back(Ref::borrow(id()));
        kv::dict_set(ir_.get(), id(), record.get());
    }

    Ref innermost() {
        return Ref::borrow(PyList_GET_ITEM(parents_.get(), PyList_GET_SIZE(parents_.get()) - 1));
    }

    // --- on views --------------------------------------------------------------

    void native(std::string_view line) {
        CodeComment cc = split_comments(line);
        if (!cc.comment.empty()) kv::dict_set(comments_.get(), id(), kv::text(cc.comment).get());
        if (cc.code.empty()) return;
        words_.clear();
        split_nonempty_words(cc.code, words_);
        if (words_.empty()) return;
        if (words_[0].front() == '.') return native_command();
        if (PyList_GET_SIZE(parents_.get()) == 0) return;
        native_element();
    }

    void native_command() {
        const std::string_view command = words_[0];
        if (command == ".subckt") {
            if (words_.size() < 2) kv::raise(PyExc_IndexError, "list index out of range");
            Ref name = kv::text(words_[1]);
            WordSpan rest(words_.data() + 2, words_.size() - 2);
            Ref component = mapped(name.get());
            Ref ports = get_ir_ports(rest);
            Ref settings = get_ir_settings(st_, rest, Named(kwargs_));
            Ref parent_id = get_parent_id(parents_.get());
            open_block(name.get(), component.get(), ports.get(), settings.get(), parent_id.get());
        } else if (command == ".ends") {
            close_block();
        } else if (command != ".global") {
            raise_unsupported_command(st_, kv::text(command).get());
        }
    }

    void native_element() {
        const std::string_view name = words_[0];
        rewritten_.clear();
        handle_sources(WordSpan(words_.data() + 1, words_.size() - 1), rewritten_);
        nodes_.clear();
        for (std::string_view w : rewritten_.words)
            if (!is_setting(w)) nodes_.push_back(w);

        Ref component;
        if (name.front() == 'R') {
            component = st_.names.resistor;
        } else if (name.front() == 'C') {
            component = st_.names.capacitor;
        } else {
            if (nodes_.empty()) kv::raise(PyExc_IndexError, "tuple index out of range");
            component = kv::text(nodes_.back());
            nodes_.pop_back();
        }
        Ref ports = get_ir_ports(nodes_);

        Ref parent = innermost();
        Ref parent_settings = kv::attr(parent.get(), st_.names.settings.get());
        Named named(kwargs_, parent_settings.get());
        Ref name_obj = kv::text(name);
        Ref mapped_component = mapped(component.get());
        Ref settings = get_ir_settings(st_, rewritten_.words, named);
        Ref parent_id = kv::attr(parent.get(), st_.names.id.get());
        add_element(name_obj.get(), mapped_component.get(), ports.get(), settings.get(), parent_id.get());
    }

    // --- through the module globals ---------------------------------------------

    Ref global_fn(Fn fn) { return st_.current(fn); }

    void generic(PyObject* line) {
        Ref split = global_fn(fn_split_comments);
        Ref parts = kv::unpack_exactly(kv::call(split.get(), {line}).get(), 2);
        PyObject* code = PyList_GET_ITEM(parts.get(), 0);
        PyObject* comment = PyList_GET_ITEM(parts.get(), 1);
        if (truthy(comment)) kv::dict_set(comments_.get(), id(), comment);
        if (!truthy(code)) return;

        Ref chain = global_fn(fn_chain);
        Ref split_words = global_fn(fn_split_words);
        Ref filter_empty = global_fn(fn_filter_empty);
        Ref pipeline = kv::call(chain.get(), {split_words.get(), filter_empty.get()});
        Ref words = kv::own(PySequence_List(kv::call(pipeline.get(), {code}).get()));
        const Py_ssize_t n = PyList_GET_SIZE(words.get());
        if (n == 0) return;
        Ref first = Ref::borrow(PyList_GET_ITEM(words.get(), 0));

        if (starts_with(first.get(), ".")) {
            if (equals(first.get(), ".subckt")) {
                if (n < 2) kv::raise(PyExc_IndexError, "list index out of range");
                Ref name = Ref::borrow(PyList_GET_ITEM(words.get(), 1));
                Ref rest = kv::own(PyList_GetSlice(words.get(), 2, n));
                Ref component = mapped(name.get());
                Ref ports = kv::call(global_fn(fn_get_ir_ports).get(), {rest.get()});
                Ref settings = kv::call(global_fn(fn_get_ir_settings).get(), {rest.get()}, kwargs_);
                Ref parent_id = kv::call(global_fn(fn_get_parent_id).get(), {parents_.get()});
                open_block(name.get(), component.get(), ports.get(), settings.get(), parent_id.get());
            } else if (equals(first.get(), ".ends")) {
                close_block();
            } else if (!equals(first.get(), ".global")) {
                raise_unsupported_command(st_, first.get());
            }
            return;
        }
        if (PyList_GET_SIZE(parents_.get()) == 0) return;

        Ref rest = kv::own(PyList_GetSlice(words.get(), 1, n));
        rest = kv::call(global_fn(fn_handle_sources).get(), {rest.get()});
        Ref ports = kv::call(global_fn(fn_get_ir_ports).get(), {rest.get()});
        Ref component;
        if (starts_with(first.get(), "R")) {
            component = st_.names.resistor;
        } else if (starts_with(first.get(), "C")) {
            component = st_.names.capacitor;
        } else {
            Ref last = kv::own(PyLong_FromLong(-1));
            component = kv::own(PyObject_GetItem(ports.get(), last.get()));
            Ref all_but_last = kv::own(PySlice_New(nullptr, last.get(), nullptr));
            ports = kv::own(PyObject_GetItem(ports.get(), all_but_last.get()));
        }
        Ref parent = innermost();
        Ref named = kv::own(PyDict_Copy(kwargs_));
        Ref parent_settings = kv::attr(parent.get(), st_.names.settings.get());
        (void)kv::call_method(named.get(), "update", {parent_settings.get()});
        Ref mapped_component = mapped(component.get());
        Ref settings = kv::call(global_fn(fn_get_ir_settings).get(), {rest.get()}, named.get());
        Ref parent_id = kv::attr(parent.get(), st_.names.id.get());
        add_element(first.get(), mapped_component.get(), ports.get(), settings.get(), parent_id.get());
    }

    State& st_;
    PyObject* component_map_;  // borrowed dict
    PyObject* kwargs_;         // borrowed dict
    Ref empty_kwargs_;
    Ref ir_ = kv::new_dict();
    Ref comments_ = kv::new_dict();
    Ref parents_ = kv::new_list();  // the open Subckt records, innermost last
    std::vector<OpenBlock> blocks_;  // alongside parents_
    Py_ssize_t index_ = 0;
    Ref id_;
    std::vector<std::string_view> words_, nodes_;
    Rewritten rewritten_;
};

}  // namespace

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

Ref parse_into_ir(State& st, PyObject* lines, PyObject* component_map, PyObject* kwargs) {
    Builder builder(st, component_map, kwargs);
    if (std::optional<StreamLease> lease = StreamLease::take(st, lines)) {
        std::string_view line;
        while (lease->next(line)) builder.add(line, nullptr);
        return builder.finish();
    }
    Ref it = kv::own(PyObject_GetIter(lines));
    while (Ref line = Ref::steal(PyIter_Next(it.get()))) builder.add(line.get());
    if (PyErr_Occurred()) kv::raise_set();
    return builder.finish();
}

Ref parse_oc_spice_into_ir(State& st, PyObject* path_or_buf, PyObject* component_map, PyObject* kwargs) {
    Ref content = read_content(st, path_or_buf);
    return parse_content_into_ir(st, content.get(), component_map, kwargs);
}

Ref parse_content_into_ir(State& st, PyObject* content_obj, PyObject* component_map, PyObject* kwargs) {
    Ref content = Ref::borrow(content_obj);
    if (native_reading(st)) {
        NativeIr ir;
        read_native(st, content.get(), component_map, kwargs, ir);
        return materialize(st, ir);
    }
    Ref parse = st.current(fn_parse_into_ir);
    Ref iter = st.current(fn_iter_relevant_lines);
    const bool parse_own = st.functions.is_own(fn_parse_into_ir, parse.get());
    if (parse_own && relevant_lines_own(st)) {
        // One pass from the content to the records, no str per line or word.
        kv::check_type("content", content.get(), kv::Type::Str, false);
        text::Utf8 u(content.get());
        LineReader reader(u.view);
        Builder builder(st, component_map, kwargs);
        std::string_view line;
        while (reader.next(line)) builder.add(line, nullptr);
        return builder.finish();
    }
    Ref lines = st.functions.is_own(fn_iter_relevant_lines, iter.get()) ? iter_relevant_lines(st, content.get())
                                                                          : kv::call(iter.get(), {content.get()});
    if (parse_own) return parse_into_ir(st, lines.get(), component_map, kwargs);
    Ref no_kwargs;
    if (!kwargs) no_kwargs = kv::new_dict();
    return kv::call(parse.get(), {lines.get(), component_map}, kwargs ? kwargs : no_kwargs.get());
}

// --- location comments --------------------------------------------------------

Ref parse_location_comment(State& st, PyObject* comment) {
    text::Utf8 u(comment);
    return parse_location_comment(st, u.view);
}

bool split_location(std::string_view s, std::string& buffer, LocationParts& out, bool raise_errors) {
    auto fail = [&](bool need_more, Py_ssize_t count) {
        if (!raise_errors) return false;
        if (need_more) kv::raise_need_more(count);
        kv::raise_too_many(count);
    };
    constexpr std::string_view key = "location=";
    out = LocationParts();
    const size_t at = s.find(key);
    if (at == std::string_view::npos) return true;
    if (s.find(key, at + key.size()) != std::string_view::npos) return fail(false, 2);
    out.present = true;

    std::string_view location = s.substr(at + key.size());
    location = location.substr(0, location.find(' '));
    std::string_view kept = location;
    if (!text::is_standard(location)) {
        buffer.clear();
        for (const char *p = location.data(), *end = p + location.size(); p < end;) {
            if (size_t n = text::space_at(p, end)) p += n;
            else buffer.push_back(*p++);
        }
        kept = buffer;
    }

    std::string_view port = "()", coords = kept;
    constexpr std::string_view between = ")(";
    if (const size_t split = coords.find(between); split != std::string_view::npos) {
        if (coords.find(between, split + between.size()) != std::string_view::npos) return fail(false, 2);
        port = coords.substr(0, split);
        coords = coords.substr(split + between.size());
    }
    auto unwrap = [](std::string_view& part) {
        while (!part.empty() && part.front() == '(') part.remove_prefix(1);
        while (!part.empty() && part.back() == ')') part.remove_suffix(1);
    };
    unwrap(port);
    unwrap(coords);
    out.port = port;

    Py_ssize_t count = 0;
    for (size_t start = 0;;) {
        const size_t comma = coords.find(',', start);
        if (count == 3) return fail(false, 3);
        out.xyz[count++] = coords.substr(start, comma == std::string_view::npos ? std::string_view::npos : comma - start);
        if (comma == std::string_view::npos) break;
        start = comma + 1;
    }
    if (count < 3) return fail(true, count);
    return true;
}

bool location_is_quiet(std::string_view comment) {
    std::string buffer;
    LocationParts parts;
    return split_location(comment, buffer, parts, false) && location_parts_quiet(parts);
}

bool location_parts_quiet(const LocationParts& parts) {
    if (!parts.present) return true;
    for (std::string_view value : parts.xyz) {
        while (!value.empty() && value.front() == '"' && value.back() == '"')
            value = value.size() < 2 ? std::string_view{} : value.substr(1, value.size() - 2);
        if (!value.empty() && value.front() == '\'' && value.back() == '\'') return false;
    }
    return true;
}

Ref parse_location_comment(State& st, std::string_view s, bool parse_value_known_own) {
    std::string buffer;
    LocationParts parts;
    split_location(s, buffer, parts, true);
    if (!parts.present) return kv::new_dict();
    return placement_of(st, parts, parse_value_known_own, nullptr);
}

Ref placement_of(State& st, const LocationParts& parts, bool parse_value_known_own, PyObject* port_text) {
    const std::string_view port = parts.port;
    const std::string_view* xyz = parts.xyz;

    // `_parse_value` is looked up for each coordinate, unless nothing that
    // could replace it has run since the last look-up.
    const Named none;
    Ref values[3];
    bool own = false;
    uint64_t seen = 0;
    for (int i = 0; i < 3; ++i) {
        if (parse_value_known_own) own = true;
        else if (i == 0 || seen != st.calls_out.now()) own = st.own(fn_parse_value);
        seen = st.calls_out.now();
        values[i] = own ? parse_value(st, xyz[i], none) : parse_value_late(st, xyz[i], none);
    }
    Ref& x = values[0];
    Ref& y = values[1];
    Ref& rotation = values[2];
    const auto& f = st.names;
    Ref placement = kv::new_dict();
    kv::dict_set(placement.get(), f.x.get(), x.get());
    kv::dict_set(placement.get(), f.y.get(), y.get());
    kv::dict_set(placement.get(), f.rotation.get(), rotation.get());
    if (!port.empty()) kv::dict_set(placement.get(), f.port.get(), port_text ? port_text : kv::text(port).get());
    return placement;
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
        return parse_oc_spice_into_ir(state(), a.values[0], a.values[1], a.named.get());
    });
}

PyObject* py_parse_into_ir(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return kv::entry([&] {
        NamedArgs a = bind_named("_parse_into_ir", {kv::req("lines"), kv::req("component_map", kv::Type::Dict)},
                                 args, nargs, kwnames);
        return parse_into_ir(state(), a.values[0], a.values[1], a.named.get());
    });
}

PyObject* py_parse_location_comment(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return kv::entry([&] {
        static const kv::Signature sig("_parse_location_comment", {kv::req("comment", kv::Type::Str)});
        kv::Args a = kv::bind(sig, args, nargs, kwnames);
        return parse_location_comment(state(), a[0]);
    });
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
