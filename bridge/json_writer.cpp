// The JSON writer. Long strings are taken sixteen bytes at a time (the block
// functions the build chose for this processor): a block whose escapes are
// all two bytes long is written out at once, in other blocks plain runs are
// copied whole and each escape is written over the end of the run before it.
#include "bridge/json_writer.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "json_blocks.h"
#include "platform/utf8.h"

namespace jaunvel {
namespace {

namespace blocks = json_blocks;

// How each byte is written inside a JSON string literal, in eight bytes so
// that every store has the same size. Bytes from 0x80 up are parts of UTF-8
// sequences and stay as they are; the line separators among them are handled
// apart.
struct Escape {
    char form[8];
    unsigned char length;
};

constexpr auto kEscapes = [] {
    std::array<Escape, 256> escapes{};
    for (unsigned c = 0; c < 256; ++c) {
        const char* shortForm = c == '"'    ? "\\\""
                                : c == '\\' ? "\\\\"
                                : c == '\n' ? "\\n"
                                : c == '\r' ? "\\r"
                                : c == '\t' ? "\\t"
                                : c == '\b' ? "\\b"
                                : c == '\f' ? "\\f"
                                            : nullptr;
        std::array<char, 6> form{static_cast<char>(c)};
        unsigned char length = 1;
        if (shortForm) {
            form = {shortForm[0], shortForm[1]};
            length = 2;
        } else if (c < 0x20) {
            form = unicodeEscape(c);
            length = 6;
        }
        auto& escape = escapes[c];
        escape.length = length;
        for (unsigned k = 0; k < length; ++k) escape.form[k] = form[k];
    }
    return escapes;
}();

// U+2028 or U+2029 at `bytes`, of which `available` may be read.
bool isLineSeparator(const unsigned char* bytes, std::size_t available) {
    return available >= 3 && bytes[0] == 0xE2 && bytes[1] == 0x80 && (bytes[2] == 0xA8 || bytes[2] == 0xA9);
}

// The escape of the line separator whose last byte is `last`.
std::array<char, 6> separatorEscape(unsigned char last) {
    return unicodeEscape(last == 0xA8 ? 0x2028 : 0x2029);
}

// Writes the form of the character at `i` from `o` up and returns how many
// bytes of `bytes` it took: 3 for a line separator, else 1.
inline std::size_t writeForward(const unsigned char* bytes, std::size_t i, std::size_t size, char*& o) {
    const unsigned char c = bytes[i];
    if (c == 0xE2 && isLineSeparator(bytes + i, size - i)) {
        std::memcpy(o, separatorEscape(bytes[i + 2]).data(), 6);
        o += 6;
        return 3;
    }
    std::memcpy(o, kEscapes[c].form, 8);
    o += kEscapes[c].length;
    return 1;
}

// The length of the literal of `size` bytes of valid UTF-8, without its
// quotes.
std::size_t contentLength(const unsigned char* bytes, std::size_t size) {
    const std::size_t whole = size / blocks::kSize;
    std::size_t length = size;
    // A few kilobytes at a time; one that holds a 0xE2 is looked at again for
    // line separators while it is still in the cache.
    constexpr std::size_t kStretch = 256;
    for (std::size_t first = 0; first < whole; first += kStretch) {
        const std::size_t end = std::min(whole, first + kStretch);
        bool leads = false;
        length += blocks::escapeGrowth(bytes + first * blocks::kSize, end - first, leads);
        for (std::size_t k = first; leads && k < end; ++k) {
            for (unsigned starts = blocks::separatorLeads(bytes + k * blocks::kSize); starts != 0;
                 starts &= starts - 1) {
                const std::size_t at = k * blocks::kSize + static_cast<std::size_t>(__builtin_ctz(starts));
                if (isLineSeparator(bytes + at, size - at)) length += 3;
            }
        }
    }
    for (std::size_t i = whole * blocks::kSize; i < size; ++i) {
        length += kEscapes[bytes[i]].length - 1u + (isLineSeparator(bytes + i, size - i) ? 3 : 0);
    }
    return length;
}

// Appends the literal of `size` bytes of valid UTF-8 without its quotes,
// `length` bytes long as contentLength counted it.
void appendContent(std::string& out, const unsigned char* bytes, std::size_t size, std::size_t length) {
    const std::size_t start = out.size();
    out.resize(start + length + 2 * blocks::kSize);  // room for the last wide store
    char* o = out.data() + start;
    std::size_t i = 0;
    // Runs are reloaded from where they start, up to 31 bytes past the block.
    while (i + 2 * blocks::kSize <= size) {
        unsigned specials = blocks::specialBytes(bytes + i);
        if (specials != 0) {
            if (char* end = blocks::writeShortEscapes(o, bytes + i, specials)) {
                o = end;
                i += blocks::kSize;
                continue;
            }
        }
        std::size_t from = 0;  // the first byte of the block not yet written
        while (specials != 0) {
            const auto at = static_cast<std::size_t>(__builtin_ctz(specials));
            blocks::copy(o, bytes + i + from);
            o += at - from;
            from = at + writeForward(bytes, i + at, size, o);
            specials &= ~0u << from;  // a line separator may end past the block
        }
        if (from < blocks::kSize) {
            blocks::copy(o, bytes + i + from);
            o += blocks::kSize - from;
        }
        i += std::max(from, blocks::kSize);
    }
    while (i < size) i += writeForward(bytes, i, size, o);
    out.resize(start + length);
}

// Bytes the JSON text of `value` takes when nothing needs escaping.
std::size_t plainSize(const nlohmann::ordered_json& value) {
    switch (value.type()) {
        case nlohmann::json::value_t::string:
            return value.get_ref<const std::string&>().size() + 2;
        case nlohmann::json::value_t::object: {
            std::size_t size = 2;
            for (const auto& [key, item] : value.items()) size += key.size() + 4 + plainSize(item);
            return size;
        }
        case nlohmann::json::value_t::array: {
            std::size_t size = 2;
            for (const auto& item : value) size += 1 + plainSize(item);
            return size;
        }
        default:
            return 24;
    }
}

}  // namespace

bool appendJson(std::string& out, const nlohmann::ordered_json& value) {
    switch (value.type()) {
        case nlohmann::json::value_t::string:
            return appendJsonString(out, value.get_ref<const std::string&>());
        case nlohmann::json::value_t::object: {
            out += '{';
            bool first = true;
            for (const auto& [key, item] : value.items()) {
                if (!first) out += ',';
                first = false;
                if (!appendJsonString(out, key)) return false;
                out += ':';
                if (!appendJson(out, item)) return false;
            }
            out += '}';
            return true;
        }
        case nlohmann::json::value_t::array: {
            out += '[';
            bool first = true;
            for (const auto& item : value) {
                if (!first) out += ',';
                first = false;
                if (!appendJson(out, item)) return false;
            }
            out += ']';
            return true;
        }
        default:  // numbers, booleans, null
            out += value.dump();
            return true;
    }
}

bool appendJsonString(std::string& out, std::string_view text) {
    if (!isValidUtf8(text)) return false;
    out += '"';
    appendJsonStringContent(out, text);
    out += '"';
    return true;
}

void appendJsonStringContent(std::string& out, std::string_view text) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    appendContent(out, bytes, text.size(), contentLength(bytes, text.size()));
}

std::optional<std::string> jsonText(const nlohmann::ordered_json& value) {
    std::string text;
    text.reserve(plainSize(value));
    if (!appendJson(text, value)) return std::nullopt;
    return text;
}

}  // namespace jaunvel
