// Reading a netlist text into a NativeIr, and turning one into the IR map and
// comments map (see native_ir.hpp). The steps and their effects are those of
// `_parse_into_ir` with the module's own functions (ir.cpp).
#include "native_ir.hpp"

#include "diagnostics.hpp"
#include "lines.hpp"
#include "net_maps.hpp"
#include "text_unicode.hpp"
#include "words.hpp"

namespace spicenet {

PyObject* TextMemo::get(std::string_view s) {
    bool inserted;
    Ref& slot = map_.insert(s, inserted);
    if (inserted) {
        try {
            slot = kv::text(s);
        } catch (...) {
            slot = Ref::borrow(Py_None);  // never handed out: the import fails
            throw;
        }
    }
    return slot.get();
}

void NativeSetting::too_long() { kv::raise(PyExc_OverflowError, "a word of the netlist is too long"); }

Value NativeSetting::value() const {
    Value v;
    v.kind = kind;
    switch (kind) {
        case Value::Kind::None: break;
        case Value::Kind::Number: v.number = number; break;
        case Value::Kind::Text: v.text = text(); break;
        case Value::Kind::Object: v.object = Ref::borrow(object); break;
    }
    return v;
}

Ref NativeSetting::to_object() const { return value().to_object(); }

void NativeIr::release() {
    elements.free();
    PyVector<NativeBlock>().swap(blocks);
    words.free();
    settings.free();
    PyDeque<std::pair<Py_ssize_t, std::string_view>>().swap(comments);
    PyDeque<Ref>().swap(held);
    texts.clear();
    arena.clear();
    content.reset();
}

bool native_reading(State& st) {
    static constexpr Fn line_functions[] = {fn_split_comments, fn_chain,           fn_split_words,
                                            fn_filter_empty,   fn_handle_sources,  fn_get_ir_ports,
                                            fn_get_ir_settings, fn_get_parent_id,  fn_parse_value,
                                            fn_parse_into_ir};
    for (Fn fn : line_functions)
        if (!st.own(fn)) return false;
    if (!relevant_lines_own(st)) return false;
    // The records are the module's own types (the IR map is made of them).
    PyObject* globals = PyModule_GetDict(st.module);
    for (auto [name, own] : {std::pair{st.names.Subckt.get(), st.Subckt.get()}, {st.names.Conn.get(), st.Conn.get()}}) {
        PyObject* value = PyDict_GetItemWithError(globals, name);  // borrowed
        if (!value && PyErr_Occurred()) kv::raise_set();
        if (value != own) return false;
    }
    return true;
}

namespace {


class NativeReader {
  public:
    NativeReader(State& st, PyObject* component_map, PyObject* kwargs, NativeIr& ir)
        : st_(st), component_map_(component_map), kwargs_(kwargs), ir_(ir), expressions_(kwargs) {
        if (!kwargs_) {
            empty_kwargs_ = kv::new_dict();
            kwargs_ = empty_kwargs_.get();
        }
    }

    void read(std::string_view content) {
        content_ = content;
        LineReader reader(content);
        std::string_view line;
        while (reader.next(line)) {
            ++index_;
            if (!inside_content(line)) line = ir_.arena.store(line);
            add(line);
        }
        // Blocks never closed keep their elements but give no record: say so.
        for (const NativeBlock& block : open_) warn_unclosed_block(st_, kv::text(block.name).get());
    }

  private:
    bool inside_content(std::string_view s) const {
        return s.data() >= content_.data() && s.data() + s.size() <= content_.data() + content_.size();
    }

    PyObject* mapped(std::string_view name) {
        if (PyObject** found = mapped_.find(name)) return *found;
        PyObject* text = ir_.texts.get(name);
        Ref to = kv::dict_get(component_map_, text);
        Ref value = to ? std::move(to) : Ref::borrow(text);
        PyObject* borrowed = value.get();
        ir_.held.push_back(std::move(value));
        bool inserted;
        mapped_.insert(name, inserted) = borrowed;
        return borrowed;
    }

    uint32_t push_words(WordSpan words) {
        const auto begin = static_cast<uint32_t>(ir_.words.size());
        for (std::string_view w : words) ir_.words.push_back(w);
        return begin;
    }

    void add(std::string_view line) {
        split_statement(line, statement_);
        if (!statement_.comment.empty()) ir_.comments.emplace_back(index_, statement_.comment);
        if (statement_.words.empty()) return;
        if (statement_.words[0].front() == '.') return command();
        if (open_.empty()) return;
        element(statement_.comment);
    }

    void command() {
        const PodBuffer<std::string_view>& words = statement_.words;
        const std::string_view command = words[0];
        if (command == ".subckt") {
            if (words.size() < 2) kv::raise(PyExc_IndexError, "list index out of range");
            NativeBlock block;
            block.id = index_;
            block.name = words[1];
            block.component = mapped(block.name);
            WordSpan rest(words.data() + 2, words.size() - 2);
            nodes_.clear();
            for (std::string_view w : rest)
                if (!is_setting(w)) nodes_.push_back(w);
            block.ports_begin = push_words(nodes_);
            block.ports_count = static_cast<uint32_t>(nodes_.size());
            block.settings = get_ir_settings(st_, rest, Named(kwargs_));
            block.parent_id = open_.empty() ? 0 : open_.back().id;
            open_.push_back(std::move(block));
        } else if (command == ".ends") {
            if (open_.empty()) raise_ends_before_begin(st_);
            open_.back().elements_before = static_cast<uint32_t>(ir_.elements.size());
            ir_.blocks.push_back(std::move(open_.back()));
            open_.pop_back();
        } else if (command != ".global") {
            raise_unsupported_command(st_, kv::text(command).get());
        }
    }

    void element(std::string_view comment) {
        const std::string_view name = statement_.words[0];
        WordSpan rest(statement_.words.data() + 1, statement_.words.size() - 1);
        // Where the "=" of a word stands (kNoEquals when none), maybe with
        // kTwice: as split for the line, else found in the rewritten word.
        const bool rewritten = statement_.source;
        if (rewritten) {
            // Words the rewriting makes live in the arena.
            rewritten_.clear();
            rewritten_.arena = &ir_.arena;
            handle_sources(rest, rewritten_);
            rest = rewritten_.words;
        }
        const size_t* const split_equals = statement_.equals.data() + 1;
        auto found_equals = [&](size_t i) {
            const size_t eq = find_equals(rest[i]);
            if (eq == std::string_view::npos) return Statement::kNoEquals;
            return find_equals(rest[i], eq + 1) == std::string_view::npos ? eq : eq | Statement::kTwice;
        };
        // Node words, straight into the IR; the places of the others.
        const size_t nodes_begin = ir_.words.size();
        setting_words_.clear();
        if (rewritten) {
            for (size_t i = 0; i < rest.size(); ++i)
                if (found_equals(i) == Statement::kNoEquals) ir_.words.push_back(rest[i]);
                else setting_words_.push_back(i);
        } else {
            for (size_t i = 0; i < rest.size(); ++i)
                if (split_equals[i] == Statement::kNoEquals) ir_.words.push_back(rest[i]);
                else setting_words_.push_back(i);
        }

        PyObject* component;
        if (name.front() == 'R') {
            if (!resistor_) resistor_ = mapped("resistor");
            component = resistor_;
        } else if (name.front() == 'C') {
            if (!capacitor_) capacitor_ = mapped("capacitor");
            component = capacitor_;
        } else {
            if (ir_.words.size() == nodes_begin) kv::raise(PyExc_IndexError, "tuple index out of range");
            component = mapped(ir_.words.back());
            ir_.words.pop_back();
        }

        NativeBlock& parent = open_.back();
        NativeElement e;
        e.id = index_;
        e.parent_id = parent.id;
        e.name = name;
        e.comment = comment;
        e.component = component;
        e.nodes_begin = static_cast<uint32_t>(nodes_begin);
        e.nodes_count = static_cast<uint32_t>(ir_.words.size() - nodes_begin);

        const Named named(kwargs_, parent.settings.get());
        e.settings_begin = static_cast<uint32_t>(ir_.settings.size());
        for (const size_t i : setting_words_) {
            const size_t equals = rewritten ? found_equals(i) : split_equals[i];
            if (equals & Statement::kTwice) kv::raise_too_many(2);
            const std::string_view w = rest[i];
            const size_t eq = equals & Statement::kNoEquals;
            Value value = read_value(st_, w.substr(eq + 1), named, ir_.arena, &expressions_);
            ir_.settings.emplace_back(w.substr(0, eq), value);
            if (value.kind == Value::Kind::Object) ir_.held.push_back(std::move(value.object));
        }
        e.settings_count = static_cast<uint32_t>(ir_.settings.size()) - e.settings_begin;

        const auto at = static_cast<uint32_t>(ir_.elements.size());
        parent.children.push_back(at);
        ir_.elements.push_back(std::move(e));
    }

    State& st_;
    PyObject* component_map_;  // borrowed dict
    PyObject* kwargs_;         // borrowed dict
    Ref empty_kwargs_;
    NativeIr& ir_;
    std::string_view content_;
    Py_ssize_t index_ = 0;
    PyVector<NativeBlock> open_;  // innermost last
    ViewMap<PyObject*> mapped_;
    PyObject* resistor_ = nullptr;   // mapped("resistor") once made
    PyObject* capacitor_ = nullptr;
    Expressions expressions_;
    Statement statement_;
    std::vector<std::string_view> nodes_;
    PodBuffer<size_t> setting_words_;  // places of the setting words after the name
    Rewritten rewritten_;
};

}  // namespace

void read_native(State& st, PyObject* content, PyObject* component_map, PyObject* kwargs, NativeIr& ir) {
    kv::check_type("content", content, kv::Type::Str, false);
    text::Utf8 u(content);
    ir.content = u.holder;
    NativeReader(st, component_map, kwargs, ir).read(u.view);
}

// --- the IR map and the comments map ------------------------------------------

namespace {

Ref int_of(Py_ssize_t i) { return kv::own(PyLong_FromSsize_t(i)); }

Ref tuple_of_words(NativeIr& ir, uint32_t begin, uint32_t count) {
    Ref tuple = kv::own(PyTuple_New(count));
    for (uint32_t i = 0; i < count; ++i)
        PyTuple_SET_ITEM(tuple.get(), i, Ref::borrow(ir.texts.get(ir.word(begin + i))).release());
    return tuple;
}

}  // namespace

Ref materialize(State& st, NativeIr& ir, PyVector<Ref>* subckts) {
    Ref ir_map = kv::new_dict();
    Ref comments = kv::new_dict();
    Ref conn_type = kv::global(st.module, st.names.Conn.get());
    Ref subckt_type = kv::global(st.module, st.names.Subckt.get());
    if (subckts) subckts->assign(ir.blocks.size(), Ref());

    // IR map order: an element when its line is read, a block at its .ends.
    size_t next_element = 0;
    auto add_element = [&](const NativeElement& e) {
        Ref id = int_of(e.id), parent = int_of(e.parent_id);
        Ref name = kv::text(e.name);
        Ref ports = tuple_of_words(ir, e.nodes_begin, e.nodes_count);
        Ref settings = kv::new_dict();
        for (uint32_t i = 0; i < e.settings_count; ++i) {
            const NativeSetting& s = ir.settings[e.settings_begin + i];
            Ref value = s.to_object();
            kv::dict_set(settings.get(), ir.texts.get(s.key()), value.get());
        }
        PyObject* args[] = {id.get(), name.get(), e.component, ports.get(), settings.get(), parent.get()};
        Ref record = kv::own(PyObject_Vectorcall(conn_type.get(), args, 0, st.names.conn_fields.get()));
        kv::dict_set(ir_map.get(), id.get(), record.get());
    };
    for (size_t index = 0; index < ir.blocks.size(); ++index) {
        const NativeBlock& b = ir.blocks[index];
        for (; next_element < b.elements_before; ++next_element) add_element(ir.elements[next_element]);
        Ref id = int_of(b.id), parent = int_of(b.parent_id);
        Ref ports = tuple_of_words(ir, b.ports_begin, b.ports_count);
        Ref children = kv::own(PyTuple_New(static_cast<Py_ssize_t>(b.children.size())));
        for (size_t i = 0; i < b.children.size(); ++i)
            PyTuple_SET_ITEM(children.get(), static_cast<Py_ssize_t>(i),
                             int_of(ir.elements[b.children[i]].id).release());
        PyObject* args[] = {id.get(), b.component, ports.get(), b.settings.get(), parent.get(), children.get()};
        Ref record = kv::own(PyObject_Vectorcall(subckt_type.get(), args, 0, st.names.subckt_fields.get()));
        kv::dict_set(ir_map.get(), id.get(), record.get());
        if (subckts) (*subckts)[index] = std::move(record);
    }
    for (; next_element < ir.elements.size(); ++next_element) add_element(ir.elements[next_element]);
    for (const auto& [id, comment] : ir.comments) {
        Ref key = int_of(id);
        Ref text = kv::text(comment);
        kv::dict_set(comments.get(), key.get(), text.get());
    }
    return kv::tuple_of({ir_map.get(), comments.get()});
}

}  // namespace spicenet
