// Number and string tokens of the literal grammar (see literal_tokens.hpp).
#include "literal_tokens.hpp"

#include <string>
#include <string_view>

#include "number_parse.hpp"
#include "objects.hpp"

namespace spicenet::literal {

void decline_or_raise() {
    if (PyErr_ExceptionMatches(PyExc_MemoryError)) kv::raise_set();
    PyErr_Clear();
}

namespace {

// --- numbers ---------------------------------------------------------------------

int hex_value(char c) {
    if (is_digit(c)) return c - '0';
    const char l = static_cast<char>(c | 0x20);
    return l >= 'a' && l <= 'f' ? l - 'a' + 10 : -1;
}

// The end of a run of digits with single underscores between them, d(_?d)*,
// from `p`; `p` itself when no digit starts there.
template <class IsDigit>
const char* digit_run(const char* p, const char* end, IsDigit is) {
    if (p == end || !is(*p)) return p;
    ++p;
    while (p < end) {
        if (is(*p)) ++p;
        else if (*p == '_' && p + 1 < end && is(p[1])) p += 2;
        else break;
    }
    return p;
}

// A number token ends where no letter, digit, underscore, point or
// non-ASCII character follows (the tokenizer would read on, or refuse it).
bool ends_number(const char* p, const char* end) {
    return p == end || !(is_name_char(*p) || *p == '.' || non_ascii(*p));
}

std::string without_underscores(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text)
        if (c != '_') out.push_back(c);
    return out;
}

// Integer digits in `base` (underscores allowed, no prefix); an empty Ref
// when the runtime refuses them (more decimal digits than its limit allows).
Ref to_int(std::string_view text, int base) {
    uint64_t v = 0;
    size_t digits = 0;
    for (char c : text) {
        if (c == '_') continue;
        v = v * static_cast<uint64_t>(base) + static_cast<uint64_t>(hex_value(c));
        ++digits;
    }
    // As many digits as always fit in 63 bits.
    const size_t exact = base == 10 ? 18 : base == 16 ? 15 : base == 8 ? 21 : 63;
    if (digits <= exact) return kv::own(PyLong_FromUnsignedLongLong(v));
    const std::string plain = without_underscores(text);
    PyObject* value = PyLong_FromString(plain.c_str(), nullptr, base);
    if (!value) decline_or_raise();
    return Ref::steal(value);
}

// An int after 0x, 0o or 0b (one underscore may follow the prefix).
Ref read_based(const char*& p, const char* end) {
    const char b = static_cast<char>(p[1] | 0x20);
    const int base = b == 'x' ? 16 : b == 'o' ? 8 : 2;
    const char* q = p + 2;
    if (q < end && *q == '_') ++q;
    const char* r = digit_run(q, end, [base](char c) { return hex_value(c) >= 0 && hex_value(c) < base; });
    if (r == q || !ends_number(r, end)) return {};
    Ref value = to_int(std::string_view(q, static_cast<size_t>(r - q)), base);
    if (value) p = r;
    return value;
}

}  // namespace

Ref read_number(const char*& p, const char* end, Number& kind) {
    kind = Number::Int;
    if (*p == '0' && end - p >= 2) {
        const char b = static_cast<char>(p[1] | 0x20);
        if (b == 'x' || b == 'o' || b == 'b') return read_based(p, end);
    }
    const char* q = digit_run(p, end, is_digit);
    bool is_float = false;
    if (q < end && *q == '.') {
        is_float = true;
        q = digit_run(q + 1, end, is_digit);
    }
    if (q < end && (*q | 0x20) == 'e') {
        const char* e = q + 1;
        if (e < end && (*e == '+' || *e == '-')) ++e;
        const char* f = digit_run(e, end, is_digit);
        if (f == e) return {};
        q = f;
        is_float = true;
    }
    const bool imaginary = q < end && (*q | 0x20) == 'j';
    if (!ends_number(q + imaginary, end)) return {};
    const std::string_view text(p, static_cast<size_t>(q - p));
    // Float text of the grammar is float() text: correctly rounded, inf past the range.
    double real = 0.0;
    if ((imaginary || is_float) && !number::read_float(text, real)) return {};
    Ref value;
    if (imaginary) {
        kind = Number::Complex;
        value = kv::own(PyComplex_FromDoubles(0.0, real));
    } else if (is_float) {
        kind = Number::Float;
        value = kv::own(PyFloat_FromDouble(real));
    } else {
        // Zero may be written with more zeros; other leading zeros are refused.
        if (text[0] == '0' && text.find_first_not_of("0_") != std::string_view::npos) return {};
        value = to_int(text, 10);
    }
    if (value) p = q + imaginary;
    return value;
}

// --- strings ---------------------------------------------------------------------

namespace {

// Appends code point `cp` as UTF-8; a surrogate as the "surrogatepass"
// encoding, which the decoding gives back as that surrogate.
void append_utf8(uint32_t cp, std::string& out) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
        return;
    }
    const int extra = cp < 0x800 ? 1 : cp < 0x10000 ? 2 : 3;
    static constexpr unsigned char kLead[] = {0, 0xC0, 0xE0, 0xF0};
    out.push_back(static_cast<char>(kLead[extra] | (cp >> (6 * extra))));
    for (int i = extra - 1; i >= 0; --i) out.push_back(static_cast<char>(0x80 | ((cp >> (6 * i)) & 0x3F)));
}

// One escape sequence at a backslash (outside raw literals). Invalid ones,
// which the runtime warns about, \N{...} and (in bytes) \u and \U are the
// runtime's.
bool escape(const char*& p, const char* end, bool bytes, std::string& buf) {
    if (end - p < 2) return false;
    const char e = p[1];
    p += 2;
    static constexpr std::string_view kFrom = "\n\\'\"abfnrtv", kTo = "\\'\"\a\b\f\n\r\t\v";
    if (const size_t i = kFrom.find(e); i != std::string_view::npos) {
        if (i > 0) buf.push_back(kTo[i - 1]);  // a backslash and a line end continue the line
        return true;
    }
    uint32_t v = 0;
    if (e >= '0' && e <= '7') {
        v = static_cast<uint32_t>(e - '0');
        for (int i = 0; i < 2 && p < end && *p >= '0' && *p <= '7'; ++i) v = v * 8 + static_cast<uint32_t>(*p++ - '0');
        if (v > 0377) return false;
    } else {
        const int width = e == 'x' ? 2 : bytes ? 0 : e == 'u' ? 4 : e == 'U' ? 8 : 0;
        if (width == 0 || end - p < width) return false;
        for (int i = 0; i < width; ++i) {
            const int d = hex_value(*p++);
            if (d < 0) return false;
            v = v * 16 + static_cast<uint32_t>(d);
        }
        if (v > 0x10FFFF) return false;
    }
    if (bytes) buf.push_back(static_cast<char>(v));
    else append_utf8(v, buf);
    return true;
}

// The prefix of a string literal up to its quote: none, r, u, b, br or rb
// in any case. Any other (f-strings among them) is the runtime's.
bool prefix(const char*& p, const char* end, bool& raw, bool& bytes) {
    if (!starts_string(p, end)) return false;
    const char* start = p;
    while (is_letter(*p)) ++p;
    raw = bytes = false;
    for (const char* q = start; q < p; ++q) {
        const char l = static_cast<char>(*q | 0x20);
        if (l == 'r' && !raw) raw = true;
        else if (l == 'b' && !bytes) bytes = true;
        else if (l != 'u' || p - start != 1) return false;
    }
    return true;
}

// One string literal from its opening quote, its value appended to `buf`
// (UTF-8 for str). Only a triple-quoted literal may hold a line end.
bool literal(const char*& p, const char* end, bool raw, bool bytes, std::string& buf) {
    const char quote = *p;
    const bool triple = end - p >= 3 && p[1] == quote && p[2] == quote;
    p += triple ? 3 : 1;
    const char* run = p;
    for (;;) {
        if (p == end) return false;
        const char c = *p;
        if (c == quote && (!triple || (end - p >= 3 && p[1] == quote && p[2] == quote))) break;
        if ((c == '\n' && !triple) || (bytes && non_ascii(c))) return false;
        if (c != '\\') {
            ++p;
        } else if (raw) {
            // The backslash stays, and the character after it closes nothing.
            if (end - p < 2 || (bytes && non_ascii(p[1]))) return false;
            p += 2;
        } else {
            buf.append(run, p);
            if (!escape(p, end, bytes, buf)) return false;
            run = p;
        }
    }
    buf.append(run, p);
    p += triple ? 3 : 1;
    return true;
}

}  // namespace

bool starts_string(const char* p, const char* end) {
    const char* q = p;
    while (q < end && q - p < 3 && is_letter(*q)) ++q;
    return q < end && (*q == '"' || *q == '\'');
}

Ref read_strings(const char*& p, const char* end, bool in_brackets, bool& is_bytes) {
    std::string buf;
    const char* q = p;
    int kind = -1;  // 0 str, 1 bytes
    do {
        bool raw, bytes;
        if (!prefix(q, end, raw, bytes) || (kind >= 0 && kind != bytes)) return {};
        kind = bytes;
        if (!literal(q, end, raw, bytes, buf)) return {};
        q = skip_gap(q, end, in_brackets);
    } while (starts_string(q, end));
    const auto size = static_cast<Py_ssize_t>(buf.size());
    PyObject* value = kind ? PyBytes_FromStringAndSize(buf.data(), size)
                           : PyUnicode_DecodeUTF8(buf.data(), size, "surrogatepass");
    if (!value) {
        decline_or_raise();  // text that is no UTF-8 was never the runtime's source
        return {};
    }
    is_bytes = kind == 1;
    p = q;
    return Ref::steal(value);
}

}  // namespace spicenet::literal
