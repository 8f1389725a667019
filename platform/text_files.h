// Whole-file UTF-8 text on POSIX, shared by every backend: atomic writes
// through a temporary file in the target's folder, whole reads with UTF-8
// validation, and failures described in Japanese for the operator.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "platform/platform.h"

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

bool isValidUtf8(std::string_view text);

// Writes exactly the bytes of `text`, which must be valid UTF-8, to `path`:
// first to a temporary file in the same folder (synced to disk), which then
// replaces the target in one rename. On failure the target is untouched and
// no temporary file is left behind.
std::optional<FileError> writeTextFileAtomically(const std::string& path, std::string_view text);

// Reads the whole file; fails on anything that is not a readable regular file
// of valid UTF-8.
ReadResult readWholeTextFile(const std::string& path);

}  // namespace jaunvel
