// UTF-8 checking, fast on the text settings files hold: ASCII and kana/kanji.
#include "platform/utf8.h"

#include <cstdint>
#include <cstring>

#include "utf8_blocks.h"

namespace jaunvel {

std::size_t validUtf8Prefix(std::string_view text) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t size = text.size();
    std::size_t i = utf8_blocks::checkedPrefixStart(bytes, size);
    while (i < size) {
        // Eight plain ASCII bytes at a time.
        std::uint64_t word = 0;
        if (size - i >= sizeof word &&
            (std::memcpy(&word, bytes + i, sizeof word), (word & 0x8080808080808080u) == 0)) {
            i += sizeof word;
            continue;
        }
        // Runs of three-byte characters (kana and kanji) in a tight loop.
        while (size - i >= 3 && bytes[i] >= 0xE1 && bytes[i] != 0xED && bytes[i] <= 0xEF &&
               ((bytes[i + 1] & 0xC0) == 0x80) & ((bytes[i + 2] & 0xC0) == 0x80)) {
            i += 3;
        }
        if (i == size) break;
        const std::size_t length = utf8SequenceLength(bytes + i, size - i);
        if (length == 0) return i;
        i += length;
    }
    return size;
}

}  // namespace jaunvel
