// Line preparation (see lines.hpp): the C++ passes over UTF-8 text, the lazy
// streams the module functions return, and `_chain`.
#include "lines.hpp"

#include <cstdint>

#include "boxed.hpp"
#include "net_maps.hpp"
#include "words.hpp"

namespace spicenet {

using text::Utf8;

// --- code, comment and words -------------------------------------------------

CodeComment split_comments(std::string_view line) {
    size_t i = line.find('$');
    if (i == std::string_view::npos) i = line.find('*');
    if (i == std::string_view::npos) return {line, {}};
    return {text::strip(line.substr(0, i)), text::strip(line.substr(i))};
}

Ref split_comments(PyObject* line) {
    Utf8 u(line);
    CodeComment cc = split_comments(u.view);
    if (cc.comment.empty() && cc.code.size() == u.view.size()) {
        Ref empty = kv::text({});
        return kv::tuple_of({line, empty.get()});
    }
    Ref code = kv::text(cc.code), comment = kv::text(cc.comment);
    return kv::tuple_of({code.get(), comment.get()});
}

bool next_word(std::string_view code, size_t& pos, std::string_view& word) {
    if (pos == std::string_view::npos) return false;
    enum class Mode { Char, String, Eval } mode = Mode::Char;
    const size_t start = pos;
    for (size_t i = start; i < code.size(); ++i) {
        const char c = code[i];
        if (c == ' ' && mode == Mode::Char) {
            word = code.substr(start, i - start);
            pos = i + 1;
            return true;
        }
        if (c == '"') {
            if (mode == Mode::Char) mode = Mode::String;
            else if (mode == Mode::String) mode = Mode::Char;
        } else if (c == '\'') {
            if (mode == Mode::Char) mode = Mode::Eval;
            else if (mode == Mode::Eval) mode = Mode::Char;
        }
    }
    word = code.substr(start);
    pos = std::string_view::npos;
    return true;
}

void split_nonempty_words(std::string_view code, std::vector<std::string_view>& out) {
    // Until the first quote every space separates; from the word holding it
    // on, the quote-aware reading takes over.
    const size_t n = code.size();
    size_t start = 0;
    for (size_t i = 0; i < n; ++i) {
        const char c = code[i];
        if (c == ' ') {
            if (i > start) out.push_back(code.substr(start, i - start));
            start = i + 1;
        } else if (c == '"' || c == '\'') {
            size_t pos = start;
            std::string_view word;
            while (next_word(code, pos, word))
                if (!word.empty()) out.push_back(word);
            return;
        }
    }
    if (n > start) out.push_back(code.substr(start));
}

namespace {

// `s` without white space at either end; most texts lose a space at most.
std::string_view strip_ends(std::string_view s) {
    while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
    while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
    if (s.empty()) return s;
    const auto first = static_cast<unsigned char>(s.front()), last = static_cast<unsigned char>(s.back());
    if (first < 0x80 && last < 0x80 && !text::ascii_space(first) && !text::ascii_space(last)) return s;
    return text::strip(s);
}

[[gnu::always_inline]] inline text::Block block_at(std::string_view s, size_t at) {
    const size_t left = s.size() - at;
    return left >= text::Block::kSize ? text::Block::load(s.data() + at) : text::Block::load(s.data() + at, left);
}

// Words as `next_word` reads them, fed with the places of the spaces, "="
// and quotes of a text a block at a time. Words end at spaces outside
// quotes (the reading mode is always back at the start when a word ends); a
// quote of the other kind is a plain character inside quotes.
struct WordReader {
    enum class Mode { Char, String, Eval } mode = Mode::Char;
    size_t start = 0;                         // of the word being read
    size_t equals = Statement::kNoEquals;     // its first "=" so far

    // Room for the words of a text of `size` bytes: all of them at once for
    // a short text, else a block's worth before each block (`checked`).
    static bool reserve(size_t size, Statement& out) {
        constexpr size_t kAtOnce = 512;
        if (size > kAtOnce) return true;
        out.words.room(size / 2 + 1);
        out.equals.room(size / 2 + 1);
        return false;
    }

    // `events`: bit i for byte `at + i` of `text`. The words are written
    // past the ends of the buffers and counted after the block.
    // `keyword`, when given, receives the index of the first word after the
    // first that is a source keyword of four bytes (the text is plain).
    [[gnu::always_inline]] void feed(std::string_view text, size_t at, uint32_t events, Statement& out,
                                     bool checked, size_t* keyword) {
        if (checked) {
            // A block ends at most as many words as it has bytes.
            out.words.room(text::Block::kSize);
            out.equals.room(text::Block::kSize);
        }
        std::string_view* const words = out.words.data();
        size_t* const equals_of = out.equals.data();
        size_t count = out.words.size();
        const char* const data = text.data();
        for (; events; events &= events - 1) {
            const size_t i = at + static_cast<size_t>(__builtin_ctz(events));
            const char c = data[i];
            if (c == ' ') {
                if (mode != Mode::Char) continue;
                if (i > start) {
                    if (keyword && i - start == 4 && count > 0 && *keyword == SIZE_MAX && source_keyword4(data + start))
                        *keyword = count;
                    words[count] = std::string_view(data + start, i - start);
                    equals_of[count++] = equals;
                }
                start = i + 1;
                equals = Statement::kNoEquals;
            } else if (c == '=') {
                equals = equals == Statement::kNoEquals ? i - start : equals | Statement::kTwice;
            } else if (c == '"') {
                if (mode == Mode::Char) mode = Mode::String;
                else if (mode == Mode::String) mode = Mode::Char;
            } else {
                if (mode == Mode::Char) mode = Mode::Eval;
                else if (mode == Mode::Eval) mode = Mode::Char;
            }
        }
        out.words.resize_within(count);
        out.equals.resize_within(count);
    }

    // The word being read, ended at `end`.
    [[gnu::always_inline]] void finish(std::string_view text, size_t end, Statement& out) const {
        if (end > start) {
            out.words.push_back(std::string_view(text.data() + start, end - start));
            out.equals.push_back(equals);
        }
    }
};

[[gnu::always_inline]] inline uint32_t word_events(const text::Block& block) {
    return block.eq(' ') | block.eq('=') | block.eq('"') | block.eq('\'');
}

// A line whose code is printable ASCII (false, with `out` to be cleared,
// for any other): its only white space is " ", so stripping the code is
// dropping spaces. The words are read up to the first comment marker. A
// "*" there starts the comment unless a "$" follows; then the words go on
// up to the "$".
bool split_plain(std::string_view line, Statement& out) {
    const size_t n = line.size();
    size_t keyword = SIZE_MAX;
    WordReader reader;
    const bool checked = WordReader::reserve(n, out);
    size_t marker = std::string_view::npos;
    for (size_t at = 0; at < n; at += text::Block::kSize) {
        const text::Block block = block_at(line, at);
        uint32_t within = text::first_bytes(n - at);
        if (block.special() & within) return false;
        if (const uint32_t marks = block.eq('$') | block.eq('*')) {
            within = (marks & (0u - marks)) - 1;
            marker = at + static_cast<size_t>(__builtin_ctz(marks));
        }
        reader.feed(line, at, word_events(block) & within, out, checked, &keyword);
        if (marker != std::string_view::npos) break;
    }
    size_t cut = marker;
    if (marker != std::string_view::npos && line[marker] == '*') {
        const size_t dollar = line.find('$', marker + 1);
        if (dollar != std::string_view::npos) {
            for (size_t at = marker; at < dollar; at += text::Block::kSize) {
                const text::Block block = block_at(line, at);
                const uint32_t within = text::first_bytes(dollar - at);
                if (block.special() & within) return false;
                reader.feed(line, at, word_events(block) & within, out, checked, &keyword);
            }
            cut = dollar;
        }
    }
    size_t code_end = n;
    out.comment = {};
    if (cut != std::string_view::npos) {
        out.comment = strip_ends(line.substr(cut));
        code_end = cut;
        while (code_end > 0 && line[code_end - 1] == ' ') --code_end;
    }
    // The last word, and whether a word after the first is a keyword (the
    // words of plain code have no white space at their ends).
    if (code_end > reader.start) {
        const std::string_view last = line.substr(reader.start, code_end - reader.start);
        if (last.size() == 4 && !out.words.empty() && keyword == SIZE_MAX && source_keyword4(last.data()))
            keyword = out.words.size();
        out.words.push_back(last);
        out.equals.push_back(reader.equals);
    }
    out.source = keyword != SIZE_MAX;
    return true;
}

// Any line: the comment first, then the words of the code.
void split_general(std::string_view line, Statement& out) {
    size_t cut = std::string_view::npos, star = std::string_view::npos;
    for (size_t at = 0; at < line.size(); at += text::Block::kSize) {
        const text::Block block = block_at(line, at);
        if (const uint32_t dollar = block.eq('$')) {
            cut = at + static_cast<size_t>(__builtin_ctz(dollar));
            break;
        }
        if (star == std::string_view::npos)
            if (const uint32_t stars = block.eq('*')) star = at + static_cast<size_t>(__builtin_ctz(stars));
    }
    if (cut == std::string_view::npos) cut = star;
    std::string_view code = line;
    out.comment = {};
    if (cut != std::string_view::npos) {
        code = strip_ends(line.substr(0, cut));
        out.comment = strip_ends(line.substr(cut));
    }
    WordReader reader;
    const bool checked = WordReader::reserve(code.size(), out);
    for (size_t at = 0; at < code.size(); at += text::Block::kSize)
        reader.feed(code, at, word_events(block_at(code, at)), out, checked, nullptr);
    reader.finish(code, code.size(), out);
    out.source = out.words.size() > 1 && has_source_keyword(WordSpan(out.words.data() + 1, out.words.size() - 1));
}

}  // namespace

void split_statement(std::string_view line, Statement& out) {
    out.words.clear();
    out.equals.clear();
    if (split_plain(line, out)) return;
    out.words.clear();
    out.equals.clear();
    split_general(line, out);
}

// --- relevant lines ----------------------------------------------------------

bool LineReader::next_physical(std::string_view& line) {
    const char* const begin = content_.data();
    const size_t size = content_.size();
    const size_t start = pos_;
    if (start >= size) return false;
    // Sixteen bytes at a time: only a byte below 0x20 or from 0x80 can start
    // a boundary, or be white space other than " ". Up to the first such byte
    // the line is plain, and two spaces in a row are looked for there. The
    // last bytes of the content and lines that are not plain take the road
    // out of line, which keeps this one free of calls.
    uint32_t twice = 0, space_before = 0;
    for (size_t at = start; size - at >= text::Block::kSize; at += text::Block::kSize) {
        const text::Block block = text::Block::load(begin + at);
        const uint32_t special = block.special();
        uint32_t spaces = block.eq(' ');
        if (special) {
            spaces &= (special & (0u - special)) - 1;
            twice |= spaces & ((spaces << 1) | space_before);
            const size_t i = at + static_cast<size_t>(__builtin_ctz(special));
            if (begin[i] != '\n') return finish_physical(line, i, twice != 0);
            line = {begin + start, i - start};
            pos_ = i + 1;
            physical_plain_ = true;
            physical_twice_ = twice != 0;
            return true;
        }
        twice |= spaces & ((spaces << 1) | space_before);
        space_before = spaces >> 15;
    }
    return finish_physical(line, start, twice != 0);
}

bool LineReader::finish_physical(std::string_view& line, size_t at, bool twice) {
    // From `at` on, the bytes are looked at one by one: the line is plain
    // until a byte below 0x20 or from 0x80 that starts no boundary.
    const char* const begin = content_.data();
    const char* const end = begin + content_.size();
    const size_t start = pos_;
    bool plain = true;
    char before = at > start ? begin[at - 1] : '\0';
    size_t length = 0;
    for (; at < content_.size(); ++at) {
        const auto c = static_cast<unsigned char>(begin[at]);
        if (c >= 0x20 && c < 0x80) {
            twice |= plain && c == ' ' && before == ' ';
            before = static_cast<char>(c);
            continue;
        }
        if ((length = text::boundary_at(begin + at, end))) break;
        plain = false;
    }
    line = {begin + start, at - start};
    pos_ = at + length;
    physical_plain_ = plain;
    physical_twice_ = twice;
    return true;
}

void LineReader::append_continuation(std::string_view rest) {
    rest = text::strip(rest);
    if (!statement_buffered_) {
        statement_buffer_.assign(statement_);
        statement_buffered_ = true;
    }
    statement_buffer_.push_back(' ');
    statement_buffer_.append(rest);
    statement_ = statement_buffer_;
}

namespace {

// `s` without spaces at either end (a line whose only white space is " ").
std::string_view trim_spaces(std::string_view s) {
    while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
    while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
    return s;
}

}  // namespace

bool LineReader::emit(std::string_view& line) {
    // A plain line without two spaces in a row is standard once trimmed (two
    // spaces only in what was trimmed make the copy below, to the same text).
    const bool standard = statement_plain_ && !statement_buffered_ ? !statement_twice_
                                                                   : text::is_standard(statement_);
    if (standard) {
        line = statement_;
    } else {
        out_.clear();
        text::append_standard(statement_, out_);
        line = out_;
    }
    return !line.empty();
}

bool LineReader::next(std::string_view& line) {
    std::string_view physical;
    if (!started_) {
        started_ = true;
        // Empty content has no line at all: nothing to fold, nothing to yield.
        if (!next_physical(physical)) {
            done_ = true;
        } else {
            statement_ = physical_plain_ ? trim_spaces(physical) : text::strip(physical);
            statement_plain_ = physical_plain_;
            statement_twice_ = physical_twice_;
        }
    }
    while (!done_) {
        if (!next_physical(physical)) {
            done_ = true;
            return emit(line);
        }
        const bool plain = physical_plain_, twice = physical_twice_;
        std::string_view stripped = plain ? trim_spaces(physical) : text::strip(physical);
        if (!stripped.empty() && stripped.front() == '+') {
            append_continuation(stripped.substr(1));
            continue;
        }
        const bool found = emit(line);
        statement_ = stripped;
        statement_plain_ = plain;
        statement_twice_ = twice;
        statement_buffered_ = false;
        if (found) return true;
    }
    return false;
}

// --- late binding --------------------------------------------------------------

static bool stages_own(State& st) {
    return st.own(fn_chain) && st.own(fn_strip_lines) && st.own(fn_join_continuations) &&
           st.own(fn_standardize_spaces) && st.own(fn_filter_empty);
}

bool relevant_lines_own(State& st) { return st.own(fn_iter_relevant_lines) && stages_own(st); }

// --- lazy streams ----------------------------------------------------------------

namespace {

enum class Stage : uint8_t { Strip, Join, Standardize, FilterEmpty, Words, Relevant };
enum class Status : uint8_t { Fresh, Suspended, Running, Done };

const char* stage_name(Stage stage) {
    switch (stage) {
        case Stage::Strip: return "_strip_lines";
        case Stage::Join: return "_join_continuations";
        case Stage::Standardize: return "_standardize_spaces";
        case Stage::FilterEmpty: return "_filter_empty";
        case Stage::Words: return "_split_words";
        case Stage::Relevant: return "_iter_relevant_lines";
    }
    return "generator";
}

// A generator over one stage. Like a generator function, it takes the
// iterator of its source at the first request and drops its references
// when it finishes.
struct Stream {
    Stage stage;
    Status status = Status::Fresh;
    Ref source;
    Ref iter;
    Ref pending;      // the statement being folded (Join)
    bool drained = false;
    Utf8 text;        // the str split into words, or the content (Words, Relevant)
    size_t pos = 0;   // next word (Words)
    std::optional<LineReader> reader;  // (Relevant)

    Stream(Stage s, PyObject* src) : stage(s), source(Ref::borrow(src)) {}

    int traverse(visitproc fn, void* arg) {
        if (int r = kv::visit_ref(source, fn, arg)) return r;
        if (int r = kv::visit_ref(iter, fn, arg)) return r;
        if (int r = kv::visit_ref(pending, fn, arg)) return r;
        return kv::visit_ref(text.holder, fn, arg);
    }
    void clear() {
        status = Status::Done;
        reader.reset();
        text.view = {};
        source.reset();
        iter.reset();
        pending.reset();
        text.holder.reset();
    }
};

Ref next_item(Stream& s) {
    if (!s.iter) s.iter = kv::own(PyObject_GetIter(s.source.get()));
    Ref item = Ref::steal(PyIter_Next(s.iter.get()));
    if (!item && PyErr_Occurred()) kv::raise_set();
    return item;
}

Ref strip_item(PyObject* item) {
    if (!PyUnicode_Check(item)) return kv::call_method(item, "strip");
    Utf8 u(item);
    std::string_view stripped = text::strip(u.view);
    if (stripped.size() == u.view.size() && PyUnicode_CheckExact(item)) return Ref::borrow(item);
    return kv::text(stripped);
}

bool starts_with_plus(PyObject* item) {
    if (PyUnicode_Check(item)) return PyUnicode_GET_LENGTH(item) > 0 && PyUnicode_READ_CHAR(item, 0) == '+';
    Ref plus = kv::text("+");
    Ref result = kv::call_method(item, "startswith", {plus.get()});
    return kv::ok(PyObject_IsTrue(result.get()));
}

// statement + " " + line[1:].strip()
Ref fold(PyObject* statement, PyObject* line) {
    if (PyUnicode_Check(statement) && PyUnicode_Check(line)) {
        Utf8 a(statement), b(line);
        std::string joined(a.view);
        joined.push_back(' ');
        joined.append(text::strip(b.view.substr(1)));
        return kv::text(joined);
    }
    Ref space = kv::text(" ");
    Ref rest = kv::own(PySequence_GetSlice(line, 1, PY_SSIZE_T_MAX));
    Ref rest_stripped = kv::call_method(rest.get(), "strip");
    Ref head = kv::own(PyNumber_Add(statement, space.get()));
    return kv::own(PyNumber_Add(head.get(), rest_stripped.get()));
}

// Every white-space run replaced by one space (ends included).
Ref collapse_item(State& st, PyObject* item) {
    if (!PyUnicode_Check(item)) {
        Ref re = kv::global(st.module, "re");
        Ref pattern = kv::text("\\s+"), space = kv::text(" ");
        return kv::call_method(re.get(), "sub", {pattern.get(), space.get(), item});
    }
    Utf8 u(item);
    const char* p = u.view.data();
    const char* end = p + u.view.size();
    std::string out;
    bool changed = false;
    while (p < end) {
        size_t n = text::space_at(p, end);
        if (!n) {
            out.push_back(*p++);
            continue;
        }
        const char* run = p;
        while (p < end && (n = text::space_at(p, end))) p += n;
        if (p - run != 1 || *run != ' ') changed = true;
        out.push_back(' ');
    }
    if (!changed && PyUnicode_CheckExact(item)) return Ref::borrow(item);
    return kv::text(out);
}

// The next value of the stream; an empty Ref at its end.
Ref advance(State& st, Stream& s) {
    switch (s.stage) {
        case Stage::Strip: {
            Ref item = next_item(s);
            return item ? strip_item(item.get()) : Ref();
        }
        case Stage::Standardize: {
            Ref item = next_item(s);
            return item ? collapse_item(st, item.get()) : Ref();
        }
        case Stage::FilterEmpty:
            while (Ref item = next_item(s))
                if (kv::ok(PyObject_IsTrue(item.get()))) return item;
            return {};
        case Stage::Join: {
            if (s.drained) return {};
            if (!s.pending) {
                s.pending = next_item(s);
                if (!s.pending) {
                    s.drained = true;
                    return {};
                }
            }
            while (Ref item = next_item(s)) {
                if (starts_with_plus(item.get())) {
                    s.pending = fold(s.pending.get(), item.get());
                    continue;
                }
                Ref out = std::move(s.pending);
                s.pending = std::move(item);
                return out;
            }
            s.drained = true;
            return std::move(s.pending);
        }
        case Stage::Words: {
            std::string_view word;
            if (!next_word(s.text.view, s.pos, word)) return {};
            return kv::text(word);
        }
        case Stage::Relevant: {
            std::string_view line;
            if (!s.reader->next(line)) return {};
            return kv::text(line);
        }
    }
    return {};
}

PyObject* stream_next(PyObject* self) {
    Stream& s = kv::unbox<Stream>(self);
    if (s.status == Status::Running) {
        PyErr_SetString(PyExc_ValueError, "generator already executing");
        return nullptr;
    }
    if (s.status == Status::Done) return nullptr;
    s.status = Status::Running;
    PyObject* result = kv::entry([&] { return advance(state(), s); });
    if (result) {
        s.status = Status::Suspended;
        return result;
    }
    s.clear();
    if (PyErr_Occurred() && PyErr_ExceptionMatches(PyExc_StopIteration)) {
        // A generator does not let StopIteration escape from its body.
        Ref cause = Ref::steal(PyErr_GetRaisedException());
        PyErr_SetString(PyExc_RuntimeError, "generator raised StopIteration");
        Ref error = Ref::steal(PyErr_GetRaisedException());
        PyException_SetCause(error.get(), Ref(cause).release());
        PyException_SetContext(error.get(), cause.release());
        PyErr_SetRaisedException(error.release());
    }
    return nullptr;
}

PyObject* stream_send(PyObject* self, PyObject* value) {
    Stream& s = kv::unbox<Stream>(self);
    if (s.status == Status::Fresh && value != Py_None) {
        PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started generator");
        return nullptr;
    }
    PyObject* result = stream_next(self);
    if (!result && !PyErr_Occurred()) PyErr_SetNone(PyExc_StopIteration);
    return result;
}

// Raising inside the stream ends it: no stage catches anything.
PyObject* stream_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return kv::entry([&]() -> Ref {
        if (nargs < 1 || nargs > 3) kv::raise_arg_count("throw", false, 1, 3, nargs);
        Stream& s = kv::unbox<Stream>(self);
        if (s.status == Status::Running) kv::raise(PyExc_ValueError, "generator already executing");
        PyObject* type = args[0];
        PyObject* value = nargs > 1 ? args[1] : Py_None;
        PyObject* traceback = nargs > 2 ? args[2] : Py_None;
        if (traceback != Py_None && !PyTraceBack_Check(traceback))
            kv::raise(PyExc_TypeError, "throw() third argument must be a traceback object");
        s.clear();
        if (PyExceptionInstance_Check(type)) {
            if (value != Py_None) kv::raise(PyExc_TypeError, "instance exception may not have a separate value");
            PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(type)), type);
        } else if (PyExceptionClass_Check(type)) {
            PyErr_SetObject(type, value);
        } else {
            kv::raise(PyExc_TypeError,
                      "exceptions must be classes or instances deriving from BaseException, not %.200s",
                      kv::type_name(type));
        }
        if (traceback != Py_None) {
            Ref error = Ref::steal(PyErr_GetRaisedException());
            if (error) kv::ok(PyException_SetTraceback(error.get(), traceback));
            PyErr_SetRaisedException(error.release());
        }
        kv::raise_set();
    });
}

PyObject* stream_close(PyObject* self, PyObject*) {
    Stream& s = kv::unbox<Stream>(self);
    if (s.status == Status::Running) {
        PyErr_SetString(PyExc_ValueError, "generator already executing");
        return nullptr;
    }
    s.clear();
    Py_RETURN_NONE;
}

PyObject* stream_repr(PyObject* self) {
    return PyUnicode_FromFormat("<generator object %s at %p>", stage_name(kv::unbox<Stream>(self).stage), self);
}

PyMethodDef stream_methods[] = {
    {"send", stream_send, METH_O, "send(value) -> next value, or raise StopIteration."},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(stream_throw)), METH_FASTCALL,
     "throw(value) -> raise the exception inside the generator, which ends it."},
    {"close", stream_close, METH_NOARGS, "close() -> end the generator."},
    {nullptr, nullptr, 0, nullptr}};

PyType_Slot stream_slots[] = {
    KV_BOXED_SLOTS(Stream),
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(stream_next)},
    {Py_tp_methods, stream_methods},
    {Py_tp_repr, reinterpret_cast<void*>(stream_repr)},
    {0, nullptr}};

PyType_Spec stream_spec = {
    "korvane.core.spicenet.generator", sizeof(kv::Boxed<Stream>), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    stream_slots};

Ref make_stream(State& st, Stream&& value) {
    return kv::box(reinterpret_cast<PyTypeObject*>(st.stream_type.get()), std::move(value));
}

// --- _chain ------------------------------------------------------------------------

struct Chain {
    Ref funcs;  // tuple

    int traverse(visitproc fn, void* arg) { return kv::visit_ref(funcs, fn, arg); }
    void clear() { funcs.reset(); }
};

PyObject* chain_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    return kv::entry([&] {
        if (kwargs && PyDict_GET_SIZE(kwargs) > 0) kv::raise(PyExc_TypeError, "chained() takes no keyword arguments");
        const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
        if (nargs != 1) kv::raise_arg_count("chained", true, 1, 1, nargs);
        Ref funcs = kv::unbox<Chain>(self).funcs;  // held: a function may drop the chain
        if (!funcs) kv::raise(PyExc_RuntimeError, "the chain was cleared");
        Ref value = Ref::borrow(PyTuple_GET_ITEM(args, 0));
        for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(funcs.get()); i < n; ++i)
            value = kv::call(PyTuple_GET_ITEM(funcs.get(), i), {value.get()});
        return value;
    });
}

PyObject* chain_repr(PyObject* self) { return PyUnicode_FromFormat("<function _chain.<locals>.chained at %p>", self); }

PyType_Slot chain_slots[] = {
    KV_BOXED_SLOTS(Chain),
    {Py_tp_call, reinterpret_cast<void*>(chain_call)},
    {Py_tp_repr, reinterpret_cast<void*>(chain_repr)},
    {0, nullptr}};

PyType_Spec chain_spec = {
    "korvane.core.spicenet.chained", sizeof(kv::Boxed<Chain>), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    chain_slots};

}  // namespace

Ref iter_relevant_lines(State& st, PyObject* content) {
    kv::check_type("content", content, kv::Type::Str, false);
    if (stages_own(st)) {
        Utf8 u(content);
        Ref stream = make_stream(st, Stream(Stage::Relevant, content));
        // The reader keeps views into itself: it is built in place, never moved.
        Stream& s = kv::unbox<Stream>(stream.get());
        s.text = std::move(u);
        s.reader.emplace(s.text.view);
        return stream;
    }
    Ref lines = kv::own(PyUnicode_Splitlines(content, 0));
    Ref chain = st.current(fn_chain);
    Ref strip = st.current(fn_strip_lines);
    Ref join = st.current(fn_join_continuations);
    Ref standardize = st.current(fn_standardize_spaces);
    Ref strip_again = st.current(fn_strip_lines);
    Ref filter = st.current(fn_filter_empty);
    Ref pipeline =
        kv::call(chain.get(), {strip.get(), join.get(), standardize.get(), strip_again.get(), filter.get()});
    return kv::call(pipeline.get(), {lines.get()});
}

// --- leases on relevant-line streams ---------------------------------------------

std::optional<StreamLease> StreamLease::take(State& st, PyObject* lines) {
    if (Py_TYPE(lines) != reinterpret_cast<PyTypeObject*>(st.stream_type.get())) return std::nullopt;
    Stream& s = kv::unbox<Stream>(lines);
    if (s.stage != Stage::Relevant || s.status == Status::Running || s.status == Status::Done) return std::nullopt;
    s.status = Status::Running;
    return StreamLease(lines);
}

StreamLease::StreamLease(StreamLease&& other) noexcept : stream_(std::move(other.stream_)) {}

StreamLease::~StreamLease() {
    if (!stream_) return;
    Stream& s = kv::unbox<Stream>(stream_.get());
    if (s.status == Status::Running) s.status = Status::Suspended;
}

bool StreamLease::next(std::string_view& line) {
    Stream& s = kv::unbox<Stream>(stream_.get());
    if (s.reader->next(line)) return true;
    s.clear();
    return false;
}

// --- module functions --------------------------------------------------------------

namespace {

template <Stage stage>
PyObject* py_stage(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return kv::entry([&] {
        static const kv::Signature sig(stage_name(stage), {kv::req("lines")});
        kv::Args a = kv::bind(sig, args, nargs, kwnames);
        return make_stream(state(), Stream(stage, a[0]));
    });
}

PyObject* py_split_words(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return kv::entry([&] {
        static const kv::Signature sig("_split_words", {kv::req("line", kv::Type::Str)});
        kv::Args a = kv::bind(sig, args, nargs, kwnames);
        Stream s(Stage::Words, a[0]);
        s.text = Utf8(a[0]);
        return make_stream(state(), std::move(s));
    });
}

PyObject* py_split_comments(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return kv::entry([&] {
        static const kv::Signature sig("_split_comments", {kv::req("line", kv::Type::Str)});
        kv::Args a = kv::bind(sig, args, nargs, kwnames);
        return split_comments(a[0]);
    });
}

PyObject* py_iter_relevant_lines(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return kv::entry([&] {
        static const kv::Signature sig("_iter_relevant_lines", {kv::req("content", kv::Type::Str)});
        kv::Args a = kv::bind(sig, args, nargs, kwnames);
        return iter_relevant_lines(state(), a[0]);
    });
}

PyObject* py_chain(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return kv::entry([&] {
        if (kwnames && PyTuple_GET_SIZE(kwnames) > 0)
            kv::raise(PyExc_TypeError, "_chain() got an unexpected keyword argument '%U'", PyTuple_GET_ITEM(kwnames, 0));
        const Py_ssize_t n = PyVectorcall_NARGS(nargs);
        Chain chain{kv::own(PyTuple_New(n))};
        for (Py_ssize_t i = 0; i < n; ++i) PyTuple_SET_ITEM(chain.funcs.get(), i, Ref::borrow(args[i]).release());
        return kv::box(reinterpret_cast<PyTypeObject*>(state().chain_type.get()), std::move(chain));
    });
}

PyMethodDef def_chain = {
    "_chain", kv::fastcall<py_chain>(), METH_FASTCALL | METH_KEYWORDS,
    "_chain($module, *funcs)\n--\n\n"
    "A one-argument function passing its argument through funcs, first to last."};
PyMethodDef def_iter_relevant_lines = {
    "_iter_relevant_lines", kv::fastcall<py_iter_relevant_lines>(), METH_FASTCALL | METH_KEYWORDS,
    "_iter_relevant_lines($module, content)\n--\n\n"
    "Lazy stream of the relevant lines of a netlist text: trimmed, continuation\n"
    "lines folded, white space collapsed, empty lines dropped."};
PyMethodDef def_strip_lines = {
    "_strip_lines", kv::fastcall<py_stage<Stage::Strip>>(), METH_FASTCALL | METH_KEYWORDS,
    "_strip_lines($module, lines)\n--\n\nYield each line without white space at either end."};
PyMethodDef def_join_continuations = {
    "_join_continuations", kv::fastcall<py_stage<Stage::Join>>(), METH_FASTCALL | METH_KEYWORDS,
    "_join_continuations($module, lines)\n--\n\n"
    "Yield statements: a line starting with \"+\" continues the statement before it."};
PyMethodDef def_standardize_spaces = {
    "_standardize_spaces", kv::fastcall<py_stage<Stage::Standardize>>(), METH_FASTCALL | METH_KEYWORDS,
    "_standardize_spaces($module, lines)\n--\n\nYield each line with white-space runs replaced by one space."};
PyMethodDef def_filter_empty = {
    "_filter_empty", kv::fastcall<py_stage<Stage::FilterEmpty>>(), METH_FASTCALL | METH_KEYWORDS,
    "_filter_empty($module, lines)\n--\n\nYield the items that are not empty."};
PyMethodDef def_split_comments = {
    "_split_comments", kv::fastcall<py_split_comments>(), METH_FASTCALL | METH_KEYWORDS,
    "_split_comments($module, line)\n--\n\n"
    "Split a line into (code, comment); the comment starts at the first \"$\",\n"
    "else at the first \"*\"."};
PyMethodDef def_split_words = {
    "_split_words", kv::fastcall<py_split_words>(), METH_FASTCALL | METH_KEYWORDS,
    "_split_words($module, line)\n--\n\n"
    "Yield the words of a code text: split at spaces outside quotes."};

}  // namespace

void register_lines(State& st) {
    st.stream_type = kv::own(PyType_FromModuleAndSpec(st.module, &stream_spec, nullptr));
    st.chain_type = kv::own(PyType_FromModuleAndSpec(st.module, &chain_spec, nullptr));
    // Consumers that test for generators by protocol see the streams as such.
    Ref abc = kv::import("collections.abc");
    Ref generator = kv::attr(abc.get(), "Generator");
    (void)kv::call_method(generator.get(), "register", {st.stream_type.get()});

    st.functions.add(st.module, fn_chain, &def_chain);
    st.functions.add(st.module, fn_iter_relevant_lines, &def_iter_relevant_lines);
    st.functions.add(st.module, fn_strip_lines, &def_strip_lines);
    st.functions.add(st.module, fn_join_continuations, &def_join_continuations);
    st.functions.add(st.module, fn_standardize_spaces, &def_standardize_spaces);
    st.functions.add(st.module, fn_filter_empty, &def_filter_empty);
    st.functions.add(st.module, fn_split_comments, &def_split_comments);
    st.functions.add(st.module, fn_split_words, &def_split_words);
}

}  // namespace spicenet
