// Tokens of the literal grammar, read from UTF-8 bytes as the runtime's
// tokenizer and parser read them: number tokens (int in every base and size,
// float, imaginary) and runs of adjacent string literals (str or bytes, every
// prefix but f, every quote form, the escapes but \N{...}). Each reader
// either takes the whole token and advances, or declines with an empty Ref
// and leaves the text to the runtime; only a failed allocation raises
// (kv::PyErrorSet). Used by the literal reader (literals.cpp).
#pragma once

#include <cstdint>

#include "ref.hpp"

namespace spicenet::literal {

using kv::Ref;

constexpr bool is_digit(char c) { return c >= '0' && c <= '9'; }
constexpr bool is_letter(char c) { return (c | 0x20) >= 'a' && (c | 0x20) <= 'z'; }
constexpr bool is_name_char(char c) { return is_letter(c) || is_digit(c) || c == '_'; }
constexpr bool non_ascii(char c) { return static_cast<unsigned char>(c) >= 0x80; }
constexpr bool is_space(char c) { return c == ' ' || c == '\t'; }

// Where the gap between two tokens ends: spaces and tabs; inside brackets
// also line ends and comments.
inline const char* skip_gap(const char* p, const char* end, bool in_brackets) {
    while (p < end) {
        if (is_space(*p) || (in_brackets && *p == '\n')) {
            ++p;
        } else if (in_brackets && *p == '#') {
            while (p < end && *p != '\n') ++p;
        } else {
            break;
        }
    }
    return p;
}

// After a C API call failed on text the reader took: a failed allocation
// propagates; any other error (a limit of the runtime, such as the digits of
// an int) is cleared and the text left to the runtime.
void decline_or_raise();

enum class Number : uint8_t { Int, Float, Complex };

// The number token at `p` (a digit, or a point before a digit): its value
// and kind, `p` moved past it.
Ref read_number(const char*& p, const char* end, Number& kind);

// Whether a string literal (a quote, or up to three letters and a quote)
// starts at `p`.
bool starts_string(const char* p, const char* end);

// The string literals from `p` on, joined (with gaps between them, as
// skip_gap reads them): all str or all bytes. `p` ends past the last one
// and its gap; `is_bytes` tells which the value is.
Ref read_strings(const char*& p, const char* end, bool in_brackets, bool& is_bytes);

}  // namespace spicenet::literal
