// Literal expressions read natively (see literals.hpp): the grammar of
// literal_eval over the tokens of literal_tokens.hpp, in one recursive-descent
// pass that builds the Python objects as it goes. It takes only what it reads
// exactly as the runtime's parser and literal_eval do, and declines at the
// first thing outside that: the caller then hands the whole text to the
// runtime. There is no backtracking, so the pass is linear in the text;
// nesting is bounded by kMaxDepth.
#include "literals.hpp"

#include <cstdint>
#include <vector>

#include "bound.hpp"
#include "literal_tokens.hpp"
#include "objects.hpp"

namespace spicenet {

namespace {

using literal::decline_or_raise;
using literal::is_digit;
using literal::is_letter;
using literal::is_name_char;
using literal::is_space;
using literal::non_ascii;

// Brackets nested deeper than this are the runtime's (its parser stops at 200).
constexpr int kMaxDepth = 100;

// What literal_eval's number rules see in an expression: a number constant
// (parentheses around it change nothing), a unary sign applied to one, or
// anything else.
enum class Kind : uint8_t { Int, Float, Complex, SignedReal, SignedComplex, Other };

struct Item {
    Ref value;
    Kind kind = Kind::Other;
    bool hashable = true;    // may be a dict key or a set element
    bool has_bytes = false;  // holds bytes, whose comparison with str or int may warn
};

// Bytes the reader never takes: NUL (the runtime refuses it anywhere), CR
// (its tokenizer translates line ends) and the UTF-8 form of a lone
// surrogate (no source text holds one).
bool clean(std::string_view s) {
    for (size_t i = 0; i < s.size(); ++i) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c == 0 || c == '\r') return false;
        if (c == 0xED && i + 1 < s.size() && static_cast<unsigned char>(s[i + 1]) >= 0xA0) return false;
    }
    return true;
}

// What may follow the expression: spaces and tabs, a comment, one line end.
bool only_trailer(const char* p, const char* end) {
    while (p < end && is_space(*p)) ++p;
    if (p < end && *p == '#')
        while (p < end && *p != '\n') ++p;
    if (p < end && *p == '\n') ++p;
    return p == end;
}

class Reader {
  public:
    explicit Reader(std::string_view s) : p_(s.data()), end_(s.data() + s.size()) {}

    // The value of the whole text, or an empty Ref.
    Ref read() {
        while (p_ < end_ && is_space(*p_)) ++p_;  // what literal_eval strips
        Item item;
        if (!expressions(item, '\0') || !only_trailer(p_, end_)) return {};
        return std::move(item.value);
    }

  private:
    bool at(char c) const { return p_ < end_ && *p_ == c; }
    void skip() { p_ = literal::skip_gap(p_, end_, depth_ > 0); }

    bool expressions(Item& out, char close);
    bool expression(Item& out);
    bool unary(Item& out);
    bool atom(Item& out);
    bool name(Item& out);
    bool number(Item& out);
    bool strings(Item& out);
    bool display(Item& out);
    bool separator(char close);
    bool list(Item& out);
    bool parenthesized(Item& out);
    bool braces(Item& out);
    template <class Add>
    bool items(char close, Add add);

    const char* p_;
    const char* end_;
    int depth_ = 0;  // open brackets
};

// One expression, or a tuple of them (commas, a trailing one allowed): the
// whole text (`close` NUL) or the inside of parentheses. Ends after skip().
bool Reader::expressions(Item& out, char close) {
    if (!expression(out)) return false;
    skip();
    if (!at(',')) return true;
    std::vector<Ref> items;
    items.push_back(std::move(out.value));
    bool hashable = out.hashable, has_bytes = out.has_bytes;
    while (at(',')) {
        ++p_;
        skip();
        if (close ? at(close) : (p_ == end_ || *p_ == '#' || *p_ == '\n')) break;
        Item next;
        if (!expression(next)) return false;
        skip();
        hashable &= next.hashable;
        has_bytes |= next.has_bytes;
        items.push_back(std::move(next.value));
    }
    Ref tuple = kv::own(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    for (size_t i = 0; i < items.size(); ++i)
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), items[i].release());
    out = Item{std::move(tuple), Kind::Other, hashable, has_bytes};
    return true;
}

// An operand, or the one binary operation literal_eval evaluates: a real
// number (signed or not) plus or minus an imaginary constant.
bool Reader::expression(Item& out) {
    if (!unary(out)) return false;
    skip();
    if (!at('+') && !at('-')) return true;
    if (out.kind != Kind::Int && out.kind != Kind::Float && out.kind != Kind::SignedReal) return false;
    const bool add = *p_++ == '+';
    skip();
    Item right;
    if (!atom(right) || right.kind != Kind::Complex) return false;
    PyObject* l = out.value.get();
    PyObject* r = right.value.get();
    out.value = kv::own(add ? PyNumber_Add(l, r) : PyNumber_Subtract(l, r));
    out.kind = Kind::Other;
    return true;
}

// An atom, or one unary + or - applied to a number constant.
bool Reader::unary(Item& out) {
    if (!at('+') && !at('-')) return atom(out);
    const bool negative = *p_++ == '-';
    skip();
    if (!atom(out)) return false;
    if (out.kind != Kind::Int && out.kind != Kind::Float && out.kind != Kind::Complex) return false;
    const bool complex = out.kind == Kind::Complex;
    PyObject* v = out.value.get();
    out.value = kv::own(negative ? PyNumber_Negative(v) : PyNumber_Positive(v));
    out.kind = complex ? Kind::SignedComplex : Kind::SignedReal;
    return true;
}

bool Reader::atom(Item& out) {
    if (p_ == end_) return false;
    const char c = *p_;
    if (is_digit(c) || (c == '.' && p_ + 1 < end_ && is_digit(p_[1]))) return number(out);
    if (c == '.') {
        if (end_ - p_ < 3 || p_[1] != '.' || p_[2] != '.') return false;
        p_ += 3;
        out = Item{Ref::borrow(Py_Ellipsis)};
        return true;
    }
    if (c == '"' || c == '\'') return strings(out);
    if (c == '(' || c == '[' || c == '{') return display(out);
    if (is_letter(c) || c == '_') return name(out);
    return false;
}

// True, False, None, set() or a prefixed string literal; any other name is
// no literal.
bool Reader::name(Item& out) {
    const char* start = p_;
    while (p_ < end_ && is_name_char(*p_)) ++p_;
    if (p_ < end_ && non_ascii(*p_)) return false;
    if (at('"') || at('\'')) {
        p_ = start;
        return strings(out);
    }
    const std::string_view word(start, static_cast<size_t>(p_ - start));
    if (word == "True" || word == "False" || word == "None") {
        out = Item{Ref::borrow(word[0] == 'T' ? Py_True : word[0] == 'F' ? Py_False : Py_None)};
        return true;
    }
    if (word != "set") return false;
    skip();
    if (!at('(')) return false;
    ++p_;
    ++depth_;  // the call's parentheses may hold line ends
    skip();
    if (!at(')')) return false;
    ++p_;
    --depth_;
    out = Item{kv::own(PySet_New(nullptr)), Kind::Other, false, false};
    return true;
}

bool Reader::number(Item& out) {
    literal::Number kind;
    Ref value = literal::read_number(p_, end_, kind);
    if (!value) return false;
    out = Item{std::move(value), kind == literal::Number::Int     ? Kind::Int
                                 : kind == literal::Number::Float ? Kind::Float
                                                                  : Kind::Complex};
    return true;
}

bool Reader::strings(Item& out) {
    bool is_bytes = false;
    Ref value = literal::read_strings(p_, end_, depth_ > 0, is_bytes);
    if (!value) return false;
    out = Item{std::move(value), Kind::Other, true, is_bytes};
    return true;
}

bool Reader::display(Item& out) {
    if (++depth_ > kMaxDepth) return false;
    const char open = *p_++;
    skip();
    if (!(open == '(' ? parenthesized(out) : open == '[' ? list(out) : braces(out))) return false;
    --depth_;
    return true;
}

// The inside of parentheses: the empty tuple, a tuple, or an expression
// (the parentheses leave it as it is).
bool Reader::parenthesized(Item& out) {
    if (!at(')')) {
        if (!expressions(out, ')') || !at(')')) return false;
    } else {
        out = Item{kv::own(PyTuple_New(0))};
    }
    ++p_;
    return true;
}

// After an item of a display: a comma (passed over, with the space after
// it), or the closing bracket (left for the caller); false on anything else.
bool Reader::separator(char close) {
    if (!at(',')) return at(close);
    ++p_;
    skip();
    return true;
}

// The items of a display (those after the first, for braces) up to `close`,
// which is passed over; each is handed to `add`, which declines with false.
template <class Add>
bool Reader::items(char close, Add add) {
    while (!at(close)) {
        Item item;
        if (!expression(item)) return false;
        skip();
        if (!add(item) || !separator(close)) return false;
    }
    ++p_;
    return true;
}

bool Reader::list(Item& out) {
    Ref list = kv::new_list();
    auto append = [&](Item& item) {
        kv::list_append(list.get(), item.value.get());
        return true;
    };
    if (!items(']', append)) return false;
    out = Item{std::move(list), Kind::Other, false, false};
    return true;
}

// A dict or a set display, told apart by the colon after the first item.
// Keys and elements that may not be hashed, or whose comparison may warn,
// are the runtime's (its TypeError or BytesWarning). Both are inserted in
// order: the first of equal keys stays (with the last value), and so does
// the first of equal elements, as set() adds them.
bool Reader::braces(Item& out) {
    if (at('}')) {
        ++p_;
        out = Item{kv::new_dict(), Kind::Other, false, false};
        return true;
    }
    Item first;
    if (!expression(first)) return false;
    skip();
    const bool dict = at(':');
    Ref display = dict ? kv::new_dict() : kv::own(PySet_New(nullptr));
    auto add = [&](Item& item) {
        if (!item.hashable || item.has_bytes) return false;
        if (!dict) {
            kv::ok(PySet_Add(display.get(), item.value.get()));
            return true;
        }
        if (!at(':')) return false;
        ++p_;
        skip();
        Item value;
        if (!expression(value)) return false;
        kv::dict_set(display.get(), item.value.get(), value.value.get());
        skip();
        return true;
    };
    if (!add(first) || !separator('}') || !items('}', add)) return false;
    out = Item{std::move(display), Kind::Other, false, false};
    return true;
}

// The runtime's keywords (keyword.kwlist); soft keywords are identifiers.
bool is_keyword(std::string_view word) {
    static constexpr std::string_view kKeywords[] = {
        "False",  "None",   "True",    "and",      "as",       "assert", "async",  "await",    "break",
        "class",  "continue", "def",   "del",      "elif",     "else",   "except", "finally",  "for",
        "from",   "global", "if",      "import",   "in",       "is",     "lambda", "nonlocal", "not",
        "or",     "pass",   "raise",   "return",   "try",      "while",  "with",   "yield"};
    for (std::string_view k : kKeywords)
        if (k == word) return true;
    return false;
}

// A UTF-8 view of a str, or false (error cleared) when it has none.
bool utf8_of(PyObject* text, std::string_view& out) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text, &size);
    if (!data) {
        decline_or_raise();
        return false;
    }
    out = std::string_view(data, static_cast<size_t>(size));
    return true;
}

}  // namespace

Ref read_literal(std::string_view utf8) {
    if (!clean(utf8)) return {};
    return Reader(utf8).read();
}

Ref read_literal(PyObject* text) {
    std::string_view s;
    return utf8_of(text, s) ? read_literal(s) : Ref();
}

bool is_bare_identifier(std::string_view s) {
    if (!clean(s)) return false;
    size_t i = 0;
    while (i < s.size() && is_space(s[i])) ++i;
    // The tokenizer reads a name as far as letters, digits, underscores and
    // non-ASCII characters go, then checks the whole of it.
    const size_t start = i;
    bool ascii = true;
    for (; i < s.size() && (is_name_char(s[i]) || non_ascii(s[i])); ++i) ascii &= !non_ascii(s[i]);
    const std::string_view word = s.substr(start, i - start);
    if (word.empty() || !only_trailer(s.data() + i, s.data() + s.size())) return false;
    if (ascii) return !is_digit(word[0]) && !is_keyword(word);
    PyObject* str = PyUnicode_DecodeUTF8(word.data(), static_cast<Py_ssize_t>(word.size()), nullptr);
    if (!str) {
        decline_or_raise();
        return false;
    }
    Ref name = Ref::steal(str);
    return PyUnicode_IsIdentifier(name.get()) == 1;  // no keyword is outside ASCII
}

bool is_bare_identifier(PyObject* text) {
    std::string_view s;
    return utf8_of(text, s) && is_bare_identifier(s);
}

// --- test hooks ----------------------------------------------------------------

namespace {

PyObject* py_read_literal(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return bound_call(args, nargs, kwnames, "_read_literal", {kv::req("text", kv::Type::Str)},
                      [](const kv::Args& a) {
                          Ref value = read_literal(a[0]);
                          return value ? value : Ref::borrow(Py_NotImplemented);
                      });
}

PyObject* py_is_bare_identifier(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return bound_call(args, nargs, kwnames, "_is_bare_identifier", {kv::req("text", kv::Type::Str)},
                      [](const kv::Args& a) { return kv::boolean(is_bare_identifier(a[0])); });
}

PyMethodDef def_read_literal = {
    "_read_literal", kv::fastcall<py_read_literal>(), METH_FASTCALL | METH_KEYWORDS,
    "_read_literal($module, text)\n--\n\n"
    "The value ast.literal_eval gives for text, read natively; NotImplemented\n"
    "when the text is left to the runtime."};
PyMethodDef def_is_bare_identifier = {
    "_is_bare_identifier", kv::fastcall<py_is_bare_identifier>(), METH_FASTCALL | METH_KEYWORDS,
    "_is_bare_identifier($module, text)\n--\n\n"
    "Whether text is one identifier that is no keyword, which literal_eval\n"
    "refuses as a name."};

}  // namespace

void register_literals(State& st) {
    st.functions.add(st.module, fn_read_literal, &def_read_literal);
    st.functions.add(st.module, fn_is_bare_identifier, &def_is_bare_identifier);
}

}  // namespace spicenet
