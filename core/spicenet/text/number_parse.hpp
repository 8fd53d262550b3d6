// Number text read as the runtime's float() reads a str: surrounding white
// space, a sign, decimal digits with optional fraction and exponent (single
// underscores between digits), or inf / infinity / nan in any case; correctly
// rounded.
#pragma once

#include <cstdint>
#include <string_view>

namespace spicenet::number {

// Reads `s` (UTF-8) into `out`; false when it is not a number. Text outside
// ASCII (other digits and spaces the runtime accepts) is read by the runtime
// itself. Errors other than "not a number" propagate as kv::PyErrorSet.
bool read_float(std::string_view s, double& out);

enum class Simple { No, Whole, Suffix, Text };

namespace detail {

constexpr bool digit(char c) { return c >= '0' && c <= '9'; }
inline constexpr double kPowers10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                       1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

}  // namespace detail

// One pass over plain decimal text, `[sign] digits [. digits] [e [sign]
// digits]` of at most 19 digits whose value is at most 2**53 and a decimal
// exponent within 22 (both exact doubles, so the result needs no general
// reader): Whole when that is all of `s`, Suffix when one ASCII letter
// follows it (the whole text is then no number, the text without its last
// character is), Text when the first character after the sign already rules
// out a number for both the whole text and the text without its last
// character, else No (undecided). Inline: it runs for every value read.
[[gnu::always_inline]] inline Simple read_simple(std::string_view s, double& out) {
    using detail::digit;
    using detail::kPowers10;
    const size_t n = s.size();
    if (n == 0) return Simple::No;
    // A first character that is visible ASCII (nothing to strip) and starts
    // no float syntax (sign, digit, point, inf, nan): neither the text nor
    // the text without its last character is a number.
    const auto c = static_cast<unsigned char>(s[0]);
    const char lower = static_cast<char>(c | 0x20);
    if (c > 0x20 && c < 0x7F && !digit(static_cast<char>(c)) && c != '.' && c != '+' && c != '-' && lower != 'i' &&
        lower != 'n')
        return Simple::Text;
    // Of the words a float may be, only inf, infinity and nan start with a
    // letter.
    if (lower == 'i' || lower == 'n') {
        const char* word = lower == 'i' ? "inf" : "nan";
        if (n < 3 || (s[1] | 0x20) != word[1] || (s[2] | 0x20) != word[2]) return Simple::Text;
    }

    size_t i = 0;
    const bool negative = c == '-';
    if (c == '+' || c == '-') ++i;
    // All digits in one integer; at most 19 of them cannot overflow it.
    uint64_t digits = 0;
    const size_t whole = i;
    for (unsigned d; i < n && (d = static_cast<unsigned char>(s[i]) - '0') <= 9; ++i) digits = digits * 10 + d;
    size_t count = i - whole, fraction = 0;
    if (i < n && s[i] == '.') {
        const size_t first = ++i;
        for (unsigned d; i < n && (d = static_cast<unsigned char>(s[i]) - '0') <= 9; ++i) digits = digits * 10 + d;
        fraction = i - first;
        count += fraction;
    }
    if (count == 0 || count > 19) return Simple::No;
    int exponent = -static_cast<int>(fraction);
    if (i < n && (s[i] == 'e' || s[i] == 'E')) {
        size_t j = i + 1;
        bool minus = false;
        if (j < n && (s[j] == '+' || s[j] == '-')) minus = s[j++] == '-';
        const size_t first = j;
        int e = 0;
        for (; j < n && digit(s[j]); ++j) {
            if (e > 1000) return Simple::No;
            e = e * 10 + (s[j] - '0');
        }
        if (j > first) {  // else the "e" is no exponent
            exponent += minus ? -e : e;
            i = j;
        }
    }
    Simple result;
    if (i == n) {
        result = Simple::Whole;
    } else if (i + 1 == n && ((s[i] | 0x20) >= 'a' && (s[i] | 0x20) <= 'z')) {
        result = Simple::Suffix;
    } else {
        return Simple::No;
    }
    // Digits and power of ten both exact as doubles: one operation rounds
    // the result correctly.
    double value = 0.0;
    if (digits != 0) {
        if (digits > (uint64_t{1} << 53) || exponent < -22 || exponent > 22) return Simple::No;
        const double d = static_cast<double>(digits);
        value = exponent < 0 ? d / kPowers10[-exponent] : d * kPowers10[exponent];
    }
    out = negative ? -value : value;
    return result;
}

}  // namespace spicenet::number
