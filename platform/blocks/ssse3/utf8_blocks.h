// Sixteen-byte blocks of a text for the UTF-8 check, with SSSE3: each byte is
// judged together with the three before it by looking its nibbles up in
// small tables, so that a block costs the same whatever it holds.
#pragma once

#include <tmmintrin.h>

#include <cstddef>

namespace jaunvel::utf8_blocks {

inline constexpr std::size_t kSize = 16;

namespace detail {

// What can be wrong with a pair of bytes, one bit each.
constexpr unsigned char kTooShort = 1 << 0;   // a lead not followed by a continuation
constexpr unsigned char kTooLong = 1 << 1;    // a continuation after ASCII
constexpr unsigned char kOverlong3 = 1 << 2;  // E0 followed by 80..9F
constexpr unsigned char kTooLarge = 1 << 3;   // above U+10FFFF
constexpr unsigned char kSurrogate = 1 << 4;  // ED followed by A0..BF
constexpr unsigned char kOverlong2 = 1 << 5;  // C0 or C1
constexpr unsigned char kTooLarge1000 = 1 << 6;
constexpr unsigned char kOverlong4 = 1 << 6;  // F0 followed by 80..8F
constexpr unsigned char kTwoContinuations = 1 << 7;
constexpr unsigned char kCarry = kTooShort | kTooLong | kTwoContinuations;

inline __m128i lookup(__m128i nibbles, __m128i table) {
    return _mm_shuffle_epi8(table, nibbles);
}

inline __m128i highNibbles(__m128i bytes) {
    return _mm_and_si128(_mm_srli_epi16(bytes, 4), _mm_set1_epi8(0x0F));
}

// Each byte of `block` with the one before it (`previous` holds the block
// before): the error bits that pair has.
inline __m128i pairErrors(__m128i block, __m128i previous) {
    const __m128i before = _mm_alignr_epi8(block, previous, 15);
    const __m128i firstHigh =
        lookup(highNibbles(before),
               _mm_setr_epi8(kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong,
                             kTwoContinuations, kTwoContinuations, kTwoContinuations, kTwoContinuations,
                             kTooShort | kOverlong2, kTooShort, kTooShort | kOverlong3 | kSurrogate,
                             static_cast<char>(kTooShort | kTooLarge | kTooLarge1000 | kOverlong4)));
    const __m128i firstLow =
        lookup(_mm_and_si128(before, _mm_set1_epi8(0x0F)),
               _mm_setr_epi8(static_cast<char>(kCarry | kOverlong3 | kOverlong2 | kOverlong4),
                             static_cast<char>(kCarry | kOverlong2), static_cast<char>(kCarry),
                             static_cast<char>(kCarry), static_cast<char>(kCarry | kTooLarge),
                             static_cast<char>(kCarry | kTooLarge | kTooLarge1000),
                             static_cast<char>(kCarry | kTooLarge | kTooLarge1000),
                             static_cast<char>(kCarry | kTooLarge | kTooLarge1000),
                             static_cast<char>(kCarry | kTooLarge | kTooLarge1000),
                             static_cast<char>(kCarry | kTooLarge | kTooLarge1000),
                             static_cast<char>(kCarry | kTooLarge | kTooLarge1000),
                             static_cast<char>(kCarry | kTooLarge | kTooLarge1000),
                             static_cast<char>(kCarry | kTooLarge | kTooLarge1000),
                             static_cast<char>(kCarry | kTooLarge | kTooLarge1000 | kSurrogate),
                             static_cast<char>(kCarry | kTooLarge | kTooLarge1000),
                             static_cast<char>(kCarry | kTooLarge | kTooLarge1000)));
    const __m128i secondHigh = lookup(
        highNibbles(block),
        _mm_setr_epi8(kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort,
                      static_cast<char>(kTooLong | kOverlong2 | kTwoContinuations | kOverlong3 |
                                        kTooLarge1000 | kOverlong4),
                      static_cast<char>(kTooLong | kOverlong2 | kTwoContinuations | kOverlong3 | kTooLarge),
                      static_cast<char>(kTooLong | kOverlong2 | kTwoContinuations | kSurrogate | kTooLarge),
                      static_cast<char>(kTooLong | kOverlong2 | kTwoContinuations | kSurrogate | kTooLarge),
                      kTooShort, kTooShort, kTooShort, kTooShort));
    return _mm_and_si128(_mm_and_si128(firstHigh, firstLow), secondHigh);
}

// 0x80 where a byte must be the second continuation of a three- or four-byte
// sequence or the third of a four-byte one.
inline __m128i laterContinuations(__m128i block, __m128i previous) {
    const __m128i twoBefore = _mm_alignr_epi8(block, previous, 14);
    const __m128i threeBefore = _mm_alignr_epi8(block, previous, 13);
    const __m128i third = _mm_subs_epu8(twoBefore, _mm_set1_epi8(static_cast<char>(0xE0 - 0x80)));
    const __m128i fourth = _mm_subs_epu8(threeBefore, _mm_set1_epi8(static_cast<char>(0xF0 - 0x80)));
    return _mm_and_si128(_mm_or_si128(third, fourth), _mm_set1_epi8(static_cast<char>(0x80)));
}

// Non-zero where the block ends inside a sequence that needs more bytes.
inline __m128i unfinished(__m128i block) {
    const __m128i limits =
        _mm_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, static_cast<char>(0xF0 - 1),
                      static_cast<char>(0xE0 - 1), static_cast<char>(0xC0 - 1));
    return _mm_subs_epu8(block, limits);
}

}  // namespace detail

// Where a character starts at or before `end` such that everything before it
// is well-formed UTF-8, judged a block at a time up to the last whole block:
// the caller checks the rest, from there, a character at a time.
inline std::size_t checkedPrefixStart(const unsigned char* bytes, std::size_t size) {
    using namespace detail;
    __m128i previous = _mm_setzero_si128();
    __m128i pending = _mm_setzero_si128();  // the previous block ended inside a sequence
    std::size_t at = 0;
    for (; at + kSize <= size; at += kSize) {
        const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + at));
        __m128i errors = pending;
        if (_mm_movemask_epi8(block) != 0) {
            errors = _mm_xor_si128(laterContinuations(block, previous), pairErrors(block, previous));
            pending = unfinished(block);
        } else {
            pending = _mm_setzero_si128();
        }
        if (_mm_movemask_epi8(_mm_cmpeq_epi8(errors, _mm_setzero_si128())) != 0xFFFF) break;
        previous = block;
    }
    // Back to the start of the character the last checked byte belongs to.
    if (at == 0) return 0;
    std::size_t start = at - 1;
    while (start > 0 && start + 3 > at - 1 && (bytes[start] & 0xC0) == 0x80) --start;
    return start;
}

}  // namespace jaunvel::utf8_blocks
