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

// Writes exactly the bytes of `text`, which must be valid UTF-8, to `path`:
// first to a temporary file in the same folder (synced to disk), which then
// replaces the target in one rename. On failure the target is untouched and
// no temporary file is left behind.
std::optional<FileError> writeTextFileAtomically(const std::string& path, std::string_view text);

// Reads the whole file a piece at a time, checking each as UTF-8 before
// handing it to `take`; fails on anything that is not a readable regular file
// of valid UTF-8.
std::optional<FileError> readTextFileInPieces(const std::string& path, const TextPieces& take);

// Makes room in `text` for `capacity` bytes, in memory the kernel may back
// with 2 MiB pages when it is large: filling it then costs a few dozen page
// faults instead of one every 4 KiB.
void reserveLargeText(std::string& text, std::size_t capacity);

}  // namespace jaunvel
