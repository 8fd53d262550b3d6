// Unicode character classes of SPICE text, on UTF-8 bytes: white space (the
// runtime's str.isspace set), line boundaries (the str.splitlines set), and
// UTF-8 views of str objects that also hold lone surrogates.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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
// Whether `s` is stripped and its only white space is single U+0020 spaces.
bool is_standard(std::string_view s);
// Appends `s` to `out` with every white-space run replaced by one space and
// none at either end.
void append_standard(std::string_view s, std::string& out);

bool is_ascii(std::string_view s);
// Whether `c` is white space (the ASCII part of the set).
constexpr bool ascii_space(unsigned char c) { return (c >= 0x09 && c <= 0x0D) || (c >= 0x1C && c <= 0x20); }
// Byte length of the last character of a non-empty `s`.
size_t last_char_size(std::string_view s);

// Sixteen bytes of text looked at together: bit i of each mask stands for
// byte i. Bytes past the end of a short load read as zero.
class Block {
  public:
    static constexpr size_t kSize = 16;

    // The 16 bytes from `p`.
    static Block load(const char* p) {
#if defined(__SSE2__)
        return Block(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
#else
        Block b;
        std::memcpy(b.bytes_, p, kSize);
        return b;
#endif
    }
    // The first `n` (< 16) bytes from `p`, nothing past them.
    static Block load(const char* p, size_t n) {
#if defined(__SSE2__)
        // Two loads that overlap, each shifted so that its bytes land in
        // place (x86 is little-endian); the bytes past `n` are zero.
        uint64_t low = 0, high = 0;
        if (n >= 8) {
            std::memcpy(&low, p, 8);
            if (n > 8) {
                std::memcpy(&high, p + n - 8, 8);
                high >>= 8 * (16 - n);
            }
        } else if (n >= 4) {
            uint32_t a, b;
            std::memcpy(&a, p, 4);
            std::memcpy(&b, p + n - 4, 4);
            low = a | (static_cast<uint64_t>(b) >> (8 * (8 - n)) << 32);
        } else {
            for (size_t i = 0; i < n; ++i) low |= static_cast<uint64_t>(static_cast<unsigned char>(p[i])) << (8 * i);
        }
        return Block(_mm_set_epi64x(static_cast<long long>(high), static_cast<long long>(low)));
#else
        alignas(16) unsigned char buffer[kSize] = {};
        std::memcpy(buffer, p, n);
        return load(reinterpret_cast<const char*>(buffer));
#endif
    }

    // Bytes equal to `c`.
    uint32_t eq(char c) const {
#if defined(__SSE2__)
        return static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(v_, _mm_set1_epi8(c))));
#else
        uint32_t m = 0;
        for (size_t i = 0; i < kSize; ++i) m |= static_cast<uint32_t>(bytes_[i] == static_cast<unsigned char>(c)) << i;
        return m;
#endif
    }
    // Bytes below 0x20 or from 0x80: the only ones a line boundary or white
    // space other than " " can start with.
    uint32_t special() const {
#if defined(__SSE2__)
        return static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmplt_epi8(v_, _mm_set1_epi8(0x20))));
#else
        uint32_t m = 0;
        for (size_t i = 0; i < kSize; ++i) m |= static_cast<uint32_t>(bytes_[i] < 0x20 || bytes_[i] >= 0x80) << i;
        return m;
#endif
    }

  private:
#if defined(__SSE2__)
    explicit Block(__m128i v) : v_(v) {}
    __m128i v_;
#else
    Block() = default;
    unsigned char bytes_[kSize];
#endif
};

// Mask of the first `n` bytes of a block (all 16 from n = 16 on).
constexpr uint32_t first_bytes(size_t n) { return n >= Block::kSize ? 0xFFFFu : (1u << n) - 1; }

// UTF-8 view of a str, valid while the holder lives. Lone surrogates are
// encoded as the runtime's "surrogatepass" does, so `kv::text` gives them back.
struct Utf8 {
    std::string_view view;
    Ref holder;  // the str itself, or the bytes of its surrogate-passing encoding

    Utf8() = default;
    explicit Utf8(PyObject* str);
};

}  // namespace spicenet::text
