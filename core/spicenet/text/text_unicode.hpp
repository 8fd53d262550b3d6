// Unicode character classes of SPICE text, on UTF-8 bytes: white space (the
// runtime's str.isspace set), line boundaries (the str.splitlines set), and
// UTF-8 views of str objects that also hold lone surrogates.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "byte_blocks.hpp"
#include "ref.hpp"

namespace spicenet::text {

using kv::Ref;

// Byte length of the white-space character that starts at `p` (0 when none).
size_t space_at(const char* p, const char* end);
// Byte length of the white-space character that ends just before `p`.
size_t space_before(const char* begin, const char* p);
// Byte length of the line boundary at `p` ("\r\n" is one); 0 when none.
size_t boundary_at(const char* p, const char* end);

// `s` without white space at either end.
std::string_view strip(std::string_view s);
// `s` without spaces (U+0020) at either end.
constexpr std::string_view trim_spaces(std::string_view s) {
    while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
    while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
    return s;
}
// Whether `s` is stripped and its only white space is single U+0020 spaces.
bool is_standard(std::string_view s);
// Appends `s` to `out` with every white-space run replaced by one space;
// a run at either end is dropped, or with `ends` kept as one space too.
void append_standard(std::string_view s, std::string& out, bool ends = false);

bool is_ascii(std::string_view s);
// Whether `c` is white space (the ASCII part of the set).
constexpr bool ascii_space(unsigned char c) { return (c >= 0x09 && c <= 0x0D) || (c >= 0x1C && c <= 0x20); }
// Byte length of the last character of a non-empty `s`.
size_t last_char_size(std::string_view s);

// UTF-8 view of a str, valid while the holder lives. Lone surrogates are
// encoded as the runtime's "surrogatepass" does, so `kv::text` gives them back.
struct Utf8 {
    std::string_view view;
    Ref holder;  // the str itself, or the bytes of its surrogate-passing encoding

    Utf8() = default;
    explicit Utf8(PyObject* str);
};

}  // namespace spicenet::text
