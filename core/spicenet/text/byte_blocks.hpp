// Byte-block scanning of UTF-8 text: sixteen bytes compared at once (SSE2
// where the compiler has it), and the finders built on it that the line
// reader and the statement splitter run over every line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace spicenet::text {

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

// The block of `s` from `at` (fewer than 16 bytes at the end, zeros past them).
[[gnu::always_inline]] inline Block block_at(std::string_view s, size_t at) {
    const size_t left = s.size() - at;
    return left >= Block::kSize ? Block::load(s.data() + at) : Block::load(s.data() + at, left);
}

// The lowest set bit of a non-zero mask, as a byte index.
[[gnu::always_inline]] inline size_t first_index(uint32_t mask) { return static_cast<size_t>(__builtin_ctz(mask)); }
// The bits below the lowest set bit of a non-zero mask.
constexpr uint32_t below_first(uint32_t mask) { return (mask & (0u - mask)) - 1; }

// A plain stretch of text: bytes from 0x20 to 0x7F only, where the only white
// space is " " and no line boundary can start.
struct PlainStretch {
    size_t end;    // the first byte below 0x20 or from 0x80, or where the whole blocks end
    bool found;    // whether `end` is such a byte
    bool twice;    // whether two spaces stand together in the stretch
};

// The plain stretch of `size` bytes at `s` from `from`, whole blocks only:
// the bytes after it, fewer than a block, are the caller's to look at.
[[gnu::always_inline]] inline PlainStretch plain_stretch(const char* s, size_t from, size_t size) {
    uint32_t twice = 0, space_before = 0;
    size_t at = from;
    for (; size - at >= Block::kSize; at += Block::kSize) {
        const Block block = Block::load(s + at);
        const uint32_t special = block.special();
        uint32_t spaces = block.eq(' ');
        if (special) {
            spaces &= below_first(special);
            twice |= spaces & ((spaces << 1) | space_before);
            return {at + first_index(special), true, twice != 0};
        }
        twice |= spaces & ((spaces << 1) | space_before);
        space_before = spaces >> 15;
    }
    return {at, false, twice != 0};
}

// Where the comment of a line starts: at its first "$", else at its first
// "*"; npos when it has neither.
inline size_t comment_start(std::string_view line) {
    size_t star = std::string_view::npos;
    for (size_t at = 0; at < line.size(); at += Block::kSize) {
        const Block block = block_at(line, at);
        if (const uint32_t dollar = block.eq('$')) return at + first_index(dollar);
        if (star == std::string_view::npos)
            if (const uint32_t stars = block.eq('*')) star = at + first_index(stars);
    }
    return star;
}

}  // namespace spicenet::text
