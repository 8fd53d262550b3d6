// Reading relevant lines into a NativeIr (see native_ir.hpp): the steps of
// `_parse_into_ir` with the module's own functions, on views into the
// netlist text, with Python objects made only for what a record keeps.
//
// A reading that may hand over looks its functions up again whenever code
// has run that may have replaced one: at the start of each line and before
// each record is made. From the point where one is found replaced, what was
// read becomes Python records and the rest goes through the module globals
// (record_ir.hpp), as the functions would call each other in Python.
#include <memory>
#include <type_traits>

#include "line_rules.hpp"
#include "lines.hpp"
#include "native_ir.hpp"
#include "record_ir.hpp"
#include "text_unicode.hpp"
#include "unpack.hpp"
#include "words.hpp"

namespace spicenet {

namespace {

// Whether every key of a dict is an exact str: looking a str up in it then
// runs no code.
bool str_keys(PyObject* dict) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;  // borrowed, only their types are read
    while (PyDict_Next(dict, &pos, &key, &value))
        if (!PyUnicode_CheckExact(key)) return false;
    return true;
}

// Whether the functions every line of a reading looks up (`_split_comments`
// to `_get_parent_id`) and the record types are the module's own.
[[gnu::noinline]] bool line_functions_own(State& st) {
    static constexpr Fn line_functions[] = {fn_split_comments, fn_chain,          fn_split_words,
                                            fn_filter_empty,   fn_handle_sources, fn_get_ir_ports,
                                            fn_get_ir_settings, fn_get_parent_id};
    for (Fn fn : line_functions)
        if (!st.own(fn)) return false;
    // The records are the module's own types.
    PyObject* globals = PyModule_GetDict(st.module);
    for (auto [name, own] : {std::pair{st.names.Subckt.get(), st.Subckt.get()}, {st.names.Conn.get(), st.Conn.get()}}) {
        PyObject* value = PyDict_GetItemWithError(globals, name);  // borrowed, compared only
        if (!value && PyErr_Occurred()) kv::raise_set();
        if (value != own) return false;
    }
    return true;
}

class NativeReader {
  public:
    // Lines that lie inside `content` need no copy.
    NativeReader(State& st, PyObject* component_map, PyObject* kwargs, NativeIr& ir, std::string_view content = {})
        : st_(st), component_map_(component_map), kwargs_(kwargs), ir_(ir),
          map_runs_code_(!str_keys(component_map)), content_(content), expressions_(kwargs) {
        if (!kwargs_) {
            empty_kwargs_ = kv::new_dict();
            kwargs_ = empty_kwargs_.get();
        }
    }

    // The next relevant line: a view valid for the call, or a line of an
    // iterable, of any type.
    template <class Line>
    [[gnu::always_inline]] void add(const Line& line) {
        ++index_;
        if (!records_ && !reading_own()) hand_over();
        if constexpr (std::is_same_v<Line, Ref>) {
            if (records_) return records_->line(index_, line.get());
            kv::check_type("line", line.get(), kv::Type::Str, false);
            text::Utf8 u(line.get());
            ir_.held.push_back(u.holder);  // the views of the line live as long as the IR
            read(u.view);
        } else {
            if (records_) return records_->line(index_, kv::text(line).get());
            read(inside_content(line) ? line : ir_.arena.store(line));
        }
    }

    // Warns for the blocks left open. The (IR map, comments map) pair when
    // the reading was handed over, else an empty Ref.
    Ref finish() {
        if (records_) return records_->finish();
        line_rules::warn_unclosed(st_, open_, [](const NativeBlock& block) { return kv::text(block.name); });
        return Ref();
    }

    // --- the steps of line_rules, on the current line --------------------------------

    bool is_command(std::string_view text) const { return statement_.words[0] == text; }
    size_t word_count() const { return statement_.words.size(); }
    bool any_open() const { return !open_.empty(); }
    Ref command_word() const { return kv::text(statement_.words[0]); }

    [[gnu::noinline]] void open_block() {
        const PodBuffer<std::string_view>& words = statement_.words;
        NativeBlock block;
        block.id = index_;
        block.name = words[1];
        block.component = mapped(block.name);
        const WordSpan rest(words.data() + 2, words.size() - 2);
        block.ports_begin = static_cast<uint32_t>(ir_.words.size());
        for (std::string_view w : rest)
            if (!is_setting(w)) ir_.words.push_back(w);
        block.ports_count = static_cast<uint32_t>(ir_.words.size() - block.ports_begin);
        block.settings = get_ir_settings(st_, rest, Named(kwargs_));
        if (!reading_own()) {
            hand_over();
            return records_->open_block(index_, kv::text(block.name).get(), block.component,
                                        words_tuple(ir_, block.ports_begin, block.ports_count).get(),
                                        block.settings.get());
        }
        block.parent_id = open_.empty() ? 0 : open_.back().id;
        open_.push_back(std::move(block));
    }

    void close_block() {
        open_.back().elements_before = static_cast<uint32_t>(ir_.elements.size());
        ir_.blocks.push_back(std::move(open_.back()));
        open_.pop_back();
    }

    bool name_starts_with(char c) const { return statement_.words[0].front() == c; }
    PyObject* fixed(line_rules::Fixed which) {
        const bool resistor = which == line_rules::Fixed::resistor;
        Mapped& known = fixed_[resistor ? 0 : 1];  // saves hashing the name each time
        const uint64_t now = st_.calls_out.now();
        if (!known.to || known.seen != now) known = {mapped(resistor ? "resistor" : "capacitor"), now};
        return known.to;
    }
    PyObject* last_node() {
        if (ir_.words.size() == nodes_begin_) kv::raise(PyExc_IndexError, "tuple index out of range");
        PyObject* component = mapped(ir_.words.back());
        ir_.words.pop_back();
        return component;
    }

    // Tells the import's record, for an error on its way out, the line being
    // read (its text as given) and the innermost open block.
    template <class Line>
    void locate(const Line& line) noexcept {
        if (records_) {
            st_.where.at(index_, records_->open_id());
            st_.where.block_name(records_->open_name());
        } else {
            st_.where.at(index_, open_.empty() ? 0 : open_.back().id);
            if (!open_.empty()) {
                Ref name;
                Where::aside([&] { name = kv::text(open_.back().name); });
                st_.where.block_name(name.get());
            }
        }
        if constexpr (std::is_same_v<Line, Ref>) st_.where.statement_text(line.get());
        else st_.where.statement_text(line);
    }

  private:
    bool inside_content(std::string_view s) const {
        return s.data() >= content_.data() && s.data() + s.size() <= content_.data() + content_.size();
    }

    // Whether the functions every line looks up are still the module's own,
    // and `_parse_value`: looked up again only after code has run.
    void refresh() {
        const uint64_t now = st_.calls_out.now();
        if (seen_ == now) return;
        lines_own_ = line_functions_own(st_);
        parse_value_own_ = st_.own(fn_parse_value);
        seen_ = now;
    }
    bool reading_own() {
        refresh();
        return lines_own_;
    }

    [[gnu::always_inline]] void read(std::string_view line) {
        split_statement(line, statement_);
        if (!statement_.comment.empty()) ir_.comments.emplace_back(index_, statement_.comment);
        if (statement_.words.empty()) return;
        if (statement_.words[0].front() == '.') return line_rules::command(st_, *this);
        if (open_.empty()) return;
        element();
    }

    // What a name of the component map maps to; what was found holds while
    // no code has run that could have changed the map.
    [[gnu::always_inline]] PyObject* mapped(std::string_view name) {
        const Mapped* known = mapped_.find(name);
        return known && known->seen == st_.calls_out.now() ? known->to : look_up(name);
    }
    [[gnu::noinline]] PyObject* look_up(std::string_view name) {
        const uint64_t now = st_.calls_out.now();
        PyObject* text = ir_.texts.get(name);
        Ref to = kv::dict_get(component_map_, text);
        if (map_runs_code_) st_.calls_out.bump();
        PyObject* borrowed = ir_.held.emplace_back(to ? std::move(to) : Ref::borrow(text)).get();
        bool inserted;
        mapped_.insert(name, inserted) = {borrowed, now};
        return borrowed;
    }

    [[gnu::always_inline]] void element();
    [[gnu::always_inline]] void element_words();
    [[gnu::always_inline]] void read_settings(const Named& named);

    // What was read becomes Python records of the module's own types (they
    // were in place): the IR map and comments map, and the blocks still open.
    [[gnu::noinline]] void hand_over() {
        Ref pair = materialize(st_, ir_);
        records_ = std::make_unique<RecordIr>(st_, component_map_, kwargs_, PyTuple_GET_ITEM(pair.get(), 0),
                                              PyTuple_GET_ITEM(pair.get(), 1));
        Ref no_children = kv::own(PyTuple_New(0));
        for (const NativeBlock& block : open_) {
            std::vector<Ref> children;
            for (uint32_t child : block.children) children.push_back(int_of(ir_.elements[child].id));
            Ref record = subckt_record(st_, ir_, block, int_of(block.id).get(), no_children.get());
            records_->push_open(std::move(record), kv::text(block.name), std::move(children), block.id);
        }
        open_.clear();
    }

    struct Mapped {
        PyObject* to = nullptr;  // held by the IR
        uint64_t seen = 0;       // State::calls_out when it was found
    };
    // A setting word of the current line and where its "=" stands (see
    // Statement::equals).
    struct SettingWord {
        std::string_view word;
        size_t equals;
    };

    State& st_;
    PyObject* component_map_;  // borrowed dict
    PyObject* kwargs_;         // borrowed dict
    Ref empty_kwargs_;
    NativeIr& ir_;
    const bool map_runs_code_;  // a look-up in the component map may run code
    std::string_view content_;
    Py_ssize_t index_ = 0;
    PyVector<NativeBlock> open_;         // innermost last
    std::unique_ptr<RecordIr> records_;  // once handed over
    bool lines_own_ = false, parse_value_own_ = false;
    uint64_t seen_ = UINT64_MAX;  // the epoch they were looked up at (none yet)
    ViewMap<Mapped> mapped_;
    Mapped fixed_[2];  // "resistor" and "capacitor"
    Expressions expressions_;
    // The current line.
    Statement statement_;
    Rewritten rewritten_;
    size_t nodes_begin_ = 0;  // its node words in NativeIr::words
    PodBuffer<SettingWord> setting_words_;
};

void NativeReader::element() {
    element_words();
    PyObject* component = line_rules::component(*this);
    const NativeBlock& parent = open_.back();
    NativeElement e;
    e.id = index_;
    e.parent_id = parent.id;
    e.name = statement_.words[0];
    e.comment = statement_.comment;
    e.component = component;
    e.nodes_begin = static_cast<uint32_t>(nodes_begin_);
    e.nodes_count = static_cast<uint32_t>(ir_.words.size() - nodes_begin_);
    e.settings_begin = static_cast<uint32_t>(ir_.settings.size());
    read_settings(Named(kwargs_, parent.settings.get()));
    e.settings_count = static_cast<uint32_t>(ir_.settings.size()) - e.settings_begin;
    if (!reading_own()) {
        hand_over();
        return records_->add_element(index_, kv::text(e.name).get(), e.component,
                                     words_tuple(ir_, e.nodes_begin, e.nodes_count).get(),
                                     settings_dict(ir_, e).get(), int_of(e.parent_id).get());
    }
    open_.back().children.push_back(static_cast<uint32_t>(ir_.elements.size()));
    ir_.elements.push_back(e);
}

// The words after the name, rewritten when the line is a controlled source:
// the node words go straight into the IR (from `nodes_begin_`), the others
// into `setting_words_`.
void NativeReader::element_words() {
    const WordSpan rest(statement_.words.data() + 1, statement_.words.size() - 1);
    nodes_begin_ = ir_.words.size();
    setting_words_.clear();
    auto sort = [&](std::string_view word, size_t equals) {
        if (equals == Statement::kNoEquals) ir_.words.push_back(word);
        else setting_words_.push_back({word, equals});
    };
    if (!statement_.source) {
        const size_t* const split_equals = statement_.equals.data() + 1;  // as split for the line
        for (size_t i = 0; i < rest.size(); ++i) sort(rest[i], split_equals[i]);
        return;
    }
    rewritten_.clear();
    rewritten_.arena = &ir_.arena;  // the words it makes live as long as the IR
    handle_sources(rest, rewritten_);
    for (std::string_view word : rewritten_.words) {
        const size_t eq = find_equals(word);
        if (eq == std::string_view::npos) sort(word, Statement::kNoEquals);
        else sort(word, find_equals(word, eq + 1) == std::string_view::npos ? eq : eq | Statement::kTwice);
    }
}

// Each value through `_parse_value` as `_get_ir_settings` calls it: read
// here while it is the module's own, else by the global.
void NativeReader::read_settings(const Named& named) {
    for (const SettingWord& s : setting_words_) {
        if (s.equals & Statement::kTwice) kv::raise_too_many(2);
        const size_t eq = s.equals & Statement::kNoEquals;
        const std::string_view text = s.word.substr(eq + 1);
        refresh();
        Value value = parse_value_own_ ? read_value(st_, text, named, ir_.arena, &expressions_)
                                       : Value{Value::Kind::Object, 0.0, {}, parse_value_late(st_, text, named)};
        ir_.settings.emplace_back(s.word.substr(0, eq), value);
        if (value.kind == Value::Kind::Object) ir_.held.push_back(std::move(value.object));
    }
}

// Reads each line `next(line)` gives; an error on its way out learns the
// line being read.
template <class Line, class Next>
Ref read_each(NativeReader& reader, Next&& next) {
    Line line;
    while (next(line)) try {
        reader.add(line);
    } catch (const kv::PyErrorSet&) {
        reader.locate(line);
        throw;
    }
    return reader.finish();
}

}  // namespace

bool native_reading(State& st) {
    return line_functions_own(st) && st.own(fn_parse_value) && st.own(fn_parse_into_ir) && relevant_lines_own(st);
}

Ref read_into(State& st, PyObject* content, PyObject* component_map, PyObject* kwargs, NativeIr& ir) {
    kv::check_type("content", content, kv::Type::Str, false);
    text::Utf8 u(content);
    ir.content = u.holder;
    NativeReader reader(st, component_map, kwargs, ir, u.view);
    LineReader lines(u.view);
    return read_each<std::string_view>(reader, [&](std::string_view& line) { return lines.next(line); });
}

Ref read_lines_into(State& st, PyObject* lines, PyObject* component_map, PyObject* kwargs, NativeIr& ir) {
    NativeReader reader(st, component_map, kwargs, ir);
    if (std::optional<StreamLease> lease = StreamLease::take(st, lines))
        return read_each<std::string_view>(reader, [&](std::string_view& line) { return lease->next(line); });
    Ref it = kv::own(PyObject_GetIter(lines));
    return read_each<Ref>(reader, [&](Ref& line) {
        line.reset();
        line = Ref::steal(PyIter_Next(it.get()));
        if (!line && PyErr_Occurred()) kv::raise_set();
        return static_cast<bool>(line);
    });
}

}  // namespace spicenet
