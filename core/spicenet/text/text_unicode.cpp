// Unicode character classes on UTF-8 bytes (see text_unicode.hpp).
#include "text_unicode.hpp"

#include "objects.hpp"

namespace spicenet::text {

namespace {

// White space outside ASCII, by its UTF-8 form: U+0085, U+00A0, U+1680,
// U+2000..U+200A, U+2028, U+2029, U+202F, U+205F, U+3000.
size_t wide_space(const unsigned char* p, size_t n) {
    if (n >= 2 && p[0] == 0xC2 && (p[1] == 0x85 || p[1] == 0xA0)) return 2;
    if (n < 3) return 0;
    if (p[0] == 0xE1) return p[1] == 0x9A && p[2] == 0x80 ? 3 : 0;
    if (p[0] == 0xE2 && p[1] == 0x80)
        return (p[2] >= 0x80 && p[2] <= 0x8A) || p[2] == 0xA8 || p[2] == 0xA9 || p[2] == 0xAF ? 3 : 0;
    if (p[0] == 0xE2 && p[1] == 0x81) return p[2] == 0x9F ? 3 : 0;
    if (p[0] == 0xE3) return p[1] == 0x80 && p[2] == 0x80 ? 3 : 0;
    return 0;
}

}  // namespace

size_t space_at(const char* p, const char* end) {
    auto c = static_cast<unsigned char>(*p);
    if (c < 0x80) return ascii_space(c) ? 1 : 0;
    return wide_space(reinterpret_cast<const unsigned char*>(p), static_cast<size_t>(end - p));
}

size_t space_before(const char* begin, const char* p) {
    auto c = static_cast<unsigned char>(p[-1]);
    if (c < 0x80) return ascii_space(c) ? 1 : 0;
    for (size_t n = 2; n <= 3 && static_cast<size_t>(p - begin) >= n; ++n)
        if (wide_space(reinterpret_cast<const unsigned char*>(p - n), n) == n) return n;
    return 0;
}

size_t boundary_at(const char* p, const char* end) {
    auto c = static_cast<unsigned char>(*p);
    switch (c) {
        case '\r': return p + 1 < end && p[1] == '\n' ? 2 : 1;
        case '\n': case 0x0B: case 0x0C: case 0x1C: case 0x1D: case 0x1E: return 1;
        case 0xC2: return end - p >= 2 && static_cast<unsigned char>(p[1]) == 0x85 ? 2 : 0;
        case 0xE2:
            return end - p >= 3 && static_cast<unsigned char>(p[1]) == 0x80 &&
                           (static_cast<unsigned char>(p[2]) == 0xA8 || static_cast<unsigned char>(p[2]) == 0xA9)
                       ? 3
                       : 0;
        default: return 0;
    }
}

std::string_view strip(std::string_view s) {
    const char* b = s.data();
    const char* e = b + s.size();
    while (b < e) {
        size_t n = space_at(b, e);
        if (!n) break;
        b += n;
    }
    while (e > b) {
        size_t n = space_before(b, e);
        if (!n) break;
        e -= n;
    }
    return {b, static_cast<size_t>(e - b)};
}

bool is_standard(std::string_view s) {
    const char* b = s.data();
    const char* e = b + s.size();
    bool after_space = true;  // a space at the start is irregular too
    for (const char* p = b; p < e; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        if (c == ' ') {
            if (after_space) return false;
            after_space = true;
            continue;
        }
        // Other white space is irregular wherever it stands; a character
        // beyond ASCII is checked at its first byte (its others are no space).
        if (c < 0x80 ? ascii_space(c) : space_at(p, e) != 0) return false;
        after_space = false;
    }
    return !after_space || s.empty();
}

void append_standard(std::string_view s, std::string& out, bool ends) {
    const size_t start = out.size();
    out.resize(start + s.size());  // never longer than `s`
    char* const first = out.data() + start;
    char* w = first;
    const char* p = s.data();
    const char* e = p + s.size();
    bool pending_space = false;
    while (p < e) {
        const auto c = static_cast<unsigned char>(*p);
        const size_t n = c < 0x80 ? (ascii_space(c) ? 1 : 0) : space_at(p, e);
        if (n) {
            pending_space = true;
            p += n;
            continue;
        }
        if (pending_space && (ends || w != first)) *w++ = ' ';
        pending_space = false;
        *w++ = *p++;
    }
    if (pending_space && ends) *w++ = ' ';
    out.resize(static_cast<size_t>(w - out.data()));
}

bool is_ascii(std::string_view s) {
    for (char c : s)
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    return true;
}

size_t last_char_size(std::string_view s) {
    size_t n = 1;
    while (n < s.size() && (static_cast<unsigned char>(s[s.size() - n]) & 0xC0) == 0x80) ++n;
    return n;
}

Utf8::Utf8(PyObject* str) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(str, &size);
    if (data) {
        view = {data, static_cast<size_t>(size)};
        holder = Ref::borrow(str);
        return;
    }
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) kv::raise_set();
    PyErr_Clear();
    holder = kv::own(PyUnicode_AsEncodedString(str, "utf-8", "surrogatepass"));
    view = {PyBytes_AS_STRING(holder.get()), static_cast<size_t>(PyBytes_GET_SIZE(holder.get()))};
}

}  // namespace spicenet::text
