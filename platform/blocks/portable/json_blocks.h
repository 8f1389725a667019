// Sixteen-byte blocks of a text for the JSON string writer, in plain C++ for
// processors without SSSE3.
#pragma once

#include <cstddef>
#include <cstring>

namespace jaunvel::json_blocks {

inline constexpr std::size_t kSize = 16;

// One bit per byte, set for the bytes a JSON string cannot hold as they are
// (quote, backslash, control characters) and for 0xE2, which starts U+2028
// and U+2029.
inline unsigned specialBytes(const unsigned char* block) {
    unsigned mask = 0;
    for (std::size_t i = 0; i < kSize; ++i) {
        const unsigned char c = block[i];
        if (c < 0x20 || c == '"' || c == '\\' || c == 0xE2) mask |= 1u << i;
    }
    return mask;
}

// What the escapes of `count` blocks add to their length: one byte for a
// short escape (\n, \", ...), five for \u00XX. Line separators are not
// counted; `leads` tells whether any 0xE2, which may start one, was seen.
inline std::size_t escapeGrowth(const unsigned char* bytes, std::size_t count, bool& leads) {
    std::size_t growth = 0;
    leads = false;
    for (std::size_t i = 0; i < count * kSize; ++i) {
        const unsigned char c = bytes[i];
        leads = leads || c == 0xE2;
        if (c == '"' || c == '\\' || c == '\n' || c == '\r' || c == '\t' || c == '\b' || c == '\f') {
            growth += 1;
        } else if (c < 0x20) {
            growth += 5;
        }
    }
    return growth;
}

// Bit i set when byte i of the block is 0xE2.
inline unsigned separatorLeads(const unsigned char* block) {
    unsigned mask = 0;
    for (std::size_t i = 0; i < kSize; ++i) mask |= (block[i] == 0xE2 ? 1u : 0u) << i;
    return mask;
}

inline void copy(char* to, const unsigned char* from) {
    std::memcpy(to, from, kSize);
}

// Writes nothing and returns null: the writer takes each escape in turn.
inline char* writeShortEscapes(char*, const unsigned char*, unsigned) {
    return nullptr;
}

}  // namespace jaunvel::json_blocks
