// Blocks of a text for the UTF-8 check, in plain C++ for processors without
// SSSE3: none are judged ahead, the check takes a character at a time.
#pragma once

#include <cstddef>

namespace jaunvel::utf8_blocks {

inline std::size_t checkedPrefixStart(const unsigned char*, std::size_t) {
    return 0;
}

}  // namespace jaunvel::utf8_blocks
