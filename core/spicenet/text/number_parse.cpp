// float() syntax on UTF-8 number text (see number_parse.hpp).
#include "number_parse.hpp"

#include <charconv>
#include <cstdint>
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

// Number text (already checked) of at most 15 significant digits and a
// decimal exponent within 22: both the digits and the power of ten are exact
// doubles, so one multiplication or division rounds correctly.
bool exact_small(std::string_view s, double& out) {
    static constexpr double kPowers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                         1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    uint64_t digits = 0;
    int count = 0, exponent = 0;
    size_t i = 0;
    bool fraction = false;
    for (; i < s.size(); ++i) {
        const char c = s[i];
        if (c == '.') {
            fraction = true;
            continue;
        }
        if (!digit(c)) break;
        if (digits == 0 && c == '0') {
            if (fraction) --exponent;
            continue;
        }
        if (++count > 15) return false;
        digits = digits * 10 + static_cast<uint64_t>(c - '0');
        if (fraction) --exponent;
    }
    if (i < s.size()) {  // an exponent: e, sign, digits
        ++i;
        bool minus = false;
        if (s[i] == '+' || s[i] == '-') minus = s[i++] == '-';
        int e = 0;
        for (; i < s.size(); ++i) {
            if (e > 1000) return false;
            e = e * 10 + (s[i] - '0');
        }
        exponent += minus ? -e : e;
    }
    if (digits == 0) {
        out = 0.0;
        return true;
    }
    if (exponent < -22 || exponent > 22) return false;
    const double d = static_cast<double>(digits);
    out = exponent < 0 ? d / kPowers[-exponent] : d * kPowers[exponent];
    return true;
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

    bool negative = false;
    if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
        negative = s.front() == '-';
        s.remove_prefix(1);
    }
    double value;
    if (equals_folded(s, "inf") || equals_folded(s, "infinity")) {
        value = __builtin_inf();
    } else if (equals_folded(s, "nan")) {
        value = __builtin_nan("");
    } else {
        if (!decimal_syntax(s)) return false;
        if (exact_small(s, value)) {
            out = negative ? -value : value;
            return true;
        }
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
