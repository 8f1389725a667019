// Checking that bytes are well-formed UTF-8.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

namespace jaunvel {

// Length (1 to 4) of the well-formed UTF-8 sequence that starts at `bytes`,
// of which `available` bytes may be read; 0 when there is none: a stray or
// truncated byte, an overlong form, a surrogate or a value above U+10FFFF.
inline std::size_t utf8SequenceLength(const unsigned char* bytes, std::size_t available) {
    const unsigned char lead = bytes[0];
    if (lead < 0x80) return 1;
    if (lead < 0xC2) return 0;
    if (lead < 0xE0) return available >= 2 && (bytes[1] & 0xC0) == 0x80 ? 2 : 0;
    if (lead < 0xF0) {
        if (available < 3) return 0;
        const unsigned char low = lead == 0xE0 ? 0xA0 : 0x80;   // no overlong forms
        const unsigned char high = lead == 0xED ? 0x9F : 0xBF;  // no surrogates
        return bytes[1] >= low && bytes[1] <= high && (bytes[2] & 0xC0) == 0x80 ? 3 : 0;
    }
    if (lead < 0xF5) {
        if (available < 4) return 0;
        const unsigned char low = lead == 0xF0 ? 0x90 : 0x80;   // no overlong forms
        const unsigned char high = lead == 0xF4 ? 0x8F : 0xBF;  // nothing above U+10FFFF
        return bytes[1] >= low && bytes[1] <= high && (bytes[2] & 0xC0) == 0x80 && (bytes[3] & 0xC0) == 0x80
                   ? 4
                   : 0;
    }
    return 0;
}

// `\uXXXX`: a UTF-16 code unit as JSON text and scripts escape it.
constexpr std::array<char, 6> unicodeEscape(unsigned codeUnit) {
    constexpr char hex[] = "0123456789abcdef";
    return {'\\',
            'u',
            hex[(codeUnit >> 12) & 0xF],
            hex[(codeUnit >> 8) & 0xF],
            hex[(codeUnit >> 4) & 0xF],
            hex[codeUnit & 0xF]};
}

// How many bytes at the start of `text` are whole well-formed sequences: up to
// the first byte that does not begin one (a bad byte, or a sequence cut off by
// the end of `text`).
std::size_t validUtf8Prefix(std::string_view text);

inline bool isValidUtf8(std::string_view text) {
    return validUtf8Prefix(text) == text.size();
}

}  // namespace jaunvel
