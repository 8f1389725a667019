// Sixteen-byte blocks of a text for the JSON string writer, with SSE2.
#pragma once

#include <emmintrin.h>

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
// short escape (\n, \", ...), five for \u00XX. Line separators not counted.
inline std::size_t escapeGrowth(const unsigned char* bytes, std::size_t count) {
    using namespace detail;
    const __m128i one = _mm_set1_epi8(1);
    const __m128i five = _mm_set1_epi8(5);
    __m128i sums = _mm_setzero_si128();
    for (std::size_t k = 0; k < count; ++k) {
        const __m128i b = load(bytes + k * kSize);
        const __m128i shortForms =
            _mm_or_si128(_mm_or_si128(_mm_or_si128(equal(b, '\n'), equal(b, '\r')), equal(b, '\t')),
                         _mm_or_si128(_mm_or_si128(equal(b, '\b'), equal(b, '\f')),
                                      _mm_or_si128(equal(b, '"'), equal(b, '\\'))));
        const __m128i growth = _mm_or_si128(_mm_and_si128(shortForms, one),
                                            _mm_andnot_si128(shortForms, _mm_and_si128(controls(b), five)));
        sums = _mm_add_epi64(sums, _mm_sad_epu8(growth, _mm_setzero_si128()));
    }
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

}  // namespace jaunvel::json_blocks
