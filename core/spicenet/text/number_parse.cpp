// float() syntax on UTF-8 number text (see number_parse.hpp).
#include "number_parse.hpp"

#include <charconv>
#include <string>

#include "objects.hpp"
#include "text_unicode.hpp"

namespace spicenet::number {

namespace {

using detail::digit;
// The white space float() strips around ASCII text.
constexpr bool strip_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

bool equals_folded(std::string_view s, std::string_view lower) {
    if (s.size() != lower.size()) return false;
    for (size_t i = 0; i < s.size(); ++i)
        if ((s[i] | 0x20) != lower[i]) return false;
    return true;
}

// The runtime reads what it accepts beyond ASCII; anything it refuses is "not
// a number", whatever the error.
bool read_by_runtime(std::string_view s, double& out) {
    kv::Ref str = kv::text(s);
    PyObject* value = PyFloat_FromString(str.get());
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) kv::raise_set();
        PyErr_Clear();
        return false;
    }
    kv::Ref number = kv::Ref::steal(value);
    out = PyFloat_AS_DOUBLE(number.get());
    return true;
}

// Underscores may only stand between two digits; they are dropped.
bool drop_underscores(std::string_view s, std::string& out) {
    char prev = '\0';
    for (size_t i = 0; i < s.size(); ++i) {
        char c = s[i];
        if (c == '_') {
            if (!digit(prev) || i + 1 >= s.size() || !digit(s[i + 1])) return false;
        } else {
            out.push_back(c);
        }
        prev = c;
    }
    return true;
}

// [digits][.digits][e[sign]digits], at least one digit before the exponent.
bool decimal_syntax(std::string_view s) {
    size_t i = 0, digits = 0;
    while (i < s.size() && digit(s[i])) ++i, ++digits;
    if (i < s.size() && s[i] == '.') {
        ++i;
        while (i < s.size() && digit(s[i])) ++i, ++digits;
    }
    if (digits == 0) return false;
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
        size_t exp_digits = 0;
        while (i < s.size() && digit(s[i])) ++i, ++exp_digits;
        if (exp_digits == 0) return false;
    }
    return i == s.size();
}

}  // namespace

bool read_float(std::string_view s, double& out) {
    if (!text::is_ascii(s)) return read_by_runtime(s, out);

    while (!s.empty() && strip_space(s.front())) s.remove_prefix(1);
    while (!s.empty() && strip_space(s.back())) s.remove_suffix(1);

    std::string buffer;
    if (s.find('_') != std::string_view::npos) {
        if (!drop_underscores(s, buffer)) return false;
        s = buffer;
    }

    // Short plain text is read exactly; any other valid text by the general
    // (correctly rounding) reader.
    double value;
    if (read_simple(s, value) == Simple::Whole) {
        out = value;
        return true;
    }
    bool negative = false;
    if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
        negative = s.front() == '-';
        s.remove_prefix(1);
    }
    if (equals_folded(s, "inf") || equals_folded(s, "infinity")) {
        value = __builtin_inf();
    } else if (equals_folded(s, "nan")) {
        value = __builtin_nan("");
    } else {
        if (!decimal_syntax(s)) return false;
        auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
        if (ec == std::errc::result_out_of_range) {
            // Overflow to infinity and underflow to zero, as the runtime rounds them.
            std::string copy(s);
            value = PyOS_string_to_double(copy.c_str(), nullptr, nullptr);
            if (value == -1.0 && PyErr_Occurred()) kv::raise_set();
        } else if (ec != std::errc() || end != s.data() + s.size()) {
            return false;
        }
    }
    out = negative ? -value : value;
    return true;
}

}  // namespace spicenet::number
