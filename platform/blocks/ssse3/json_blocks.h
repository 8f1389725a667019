// Sixteen-byte blocks of a text for the JSON string writer, with SSSE3.
#pragma once

#include <tmmintrin.h>

#include <array>
#include <cstddef>

namespace jaunvel::json_blocks {

inline constexpr std::size_t kSize = 16;

namespace detail {
inline __m128i load(const unsigned char* from) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(from));
}
inline __m128i equal(__m128i block, char c) {
    return _mm_cmpeq_epi8(block, _mm_set1_epi8(c));
}
inline __m128i controls(__m128i block) {
    const __m128i last = _mm_set1_epi8(0x1F);
    return _mm_cmpeq_epi8(_mm_max_epu8(block, last), last);
}
// The bytes written as a backslash and one letter: \" \\ \n \r \t \b \f.
inline __m128i shortForms(__m128i b) {
    return _mm_or_si128(_mm_or_si128(_mm_or_si128(equal(b, '\n'), equal(b, '\r')), equal(b, '\t')),
                        _mm_or_si128(_mm_or_si128(equal(b, '\b'), equal(b, '\f')),
                                     _mm_or_si128(equal(b, '"'), equal(b, '\\'))));
}

// For eight bytes with short escapes at the bits of the index: where each of
// the sixteen output bytes comes from. 0x80 (a zero byte) stands for the
// backslash of an escape and for the unused bytes at the end.
struct Spread {
    std::array<unsigned char, 16> from;
    std::size_t length;  // of the output: 8 and one for each escape
};
constexpr auto kSpread = [] {
    std::array<Spread, 256> spread{};
    for (unsigned mask = 0; mask < 256; ++mask) {
        auto& [from, length] = spread[mask];
        from.fill(0x80);
        length = 8;
        for (unsigned i = 0; i < 8; ++i) length += (mask >> i) & 1;
        std::size_t o = 0;
        for (unsigned i = 0; i < 8; ++i) {
            if (mask & (1u << i)) ++o;  // the backslash
            from[o++] = static_cast<unsigned char>(i);
        }
    }
    return spread;
}();

// Eight bytes (the low half of `half`) with their short escapes written out
// from `o`, storing sixteen bytes; returns where they end.
inline char* writeHalf(char* o, __m128i half, unsigned mask) {
    const __m128i spread =
        _mm_shuffle_epi8(half, _mm_loadu_si128(reinterpret_cast<const __m128i*>(kSpread[mask].from.data())));
    // Every byte below 0x10 now is a backslash's zero or one of \b \t \n \f \r,
    // and becomes its letter.
    const __m128i letters = _mm_setr_epi8('\\', 0, 0, 0, 0, 0, 0, 0, 'b', 't', 'n', 0, 'f', 'r', 0, 0);
    const __m128i low = _mm_cmpeq_epi8(_mm_min_epu8(spread, _mm_set1_epi8(0x0F)), spread);
    const __m128i out =
        _mm_or_si128(_mm_andnot_si128(low, spread), _mm_and_si128(low, _mm_shuffle_epi8(letters, spread)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(o), out);
    return o + kSpread[mask].length;
}
}  // namespace detail

// One bit per byte, set for the bytes a JSON string cannot hold as they are
// (quote, backslash, control characters) and for 0xE2, which starts U+2028
// and U+2029.
inline unsigned specialBytes(const unsigned char* block) {
    using namespace detail;
    const __m128i b = load(block);
    const __m128i escaped = _mm_or_si128(equal(b, '"'), equal(b, '\\'));
    return static_cast<unsigned>(
        _mm_movemask_epi8(_mm_or_si128(escaped, _mm_or_si128(equal(b, '\xE2'), controls(b)))));
}

// What the escapes of `count` blocks add to their length: one byte for a
// short escape (\n, \", ...), five for \u00XX. Line separators are not
// counted; `leads` tells whether any 0xE2, which may start one, was seen.
inline std::size_t escapeGrowth(const unsigned char* bytes, std::size_t count, bool& leads) {
    using namespace detail;
    const __m128i one = _mm_set1_epi8(1);
    const __m128i five = _mm_set1_epi8(5);
    __m128i sums = _mm_setzero_si128();
    __m128i seen = _mm_setzero_si128();
    for (std::size_t k = 0; k < count; ++k) {
        const __m128i b = load(bytes + k * kSize);
        const __m128i two = shortForms(b);
        const __m128i growth =
            _mm_or_si128(_mm_and_si128(two, one), _mm_andnot_si128(two, _mm_and_si128(controls(b), five)));
        sums = _mm_add_epi64(sums, _mm_sad_epu8(growth, _mm_setzero_si128()));
        seen = _mm_or_si128(seen, equal(b, '\xE2'));
    }
    leads = _mm_movemask_epi8(seen) != 0;
    return static_cast<std::size_t>(_mm_cvtsi128_si64(sums)) +
           static_cast<std::size_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(sums, sums)));
}

// Bit i set when byte i of the block is 0xE2.
inline unsigned separatorLeads(const unsigned char* block) {
    return static_cast<unsigned>(_mm_movemask_epi8(detail::equal(detail::load(block), '\xE2')));
}

inline void copy(char* to, const unsigned char* from) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(to), detail::load(from));
}

// When every special byte of the block (`specials`, as specialBytes gave
// them) has a two-byte escape, writes the block's literal from `o`, storing
// up to 8 bytes past where it ends, and returns that end. Otherwise writes
// nothing and returns null.
inline char* writeShortEscapes(char* o, const unsigned char* block, unsigned specials) {
    using namespace detail;
    const __m128i b = load(block);
    if (static_cast<unsigned>(_mm_movemask_epi8(shortForms(b))) != specials) return nullptr;
    o = writeHalf(o, b, specials & 0xFF);
    return writeHalf(o, _mm_srli_si128(b, 8), specials >> 8);
}

}  // namespace jaunvel::json_blocks
