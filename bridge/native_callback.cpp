// JSON text of callback arguments and the script text that carries them.
#include "bridge/native_callback.h"

#include <algorithm>
#include <array>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "platform/text_files.h"

namespace jaunvel {
namespace {

// How each byte is written inside a JSON string literal: itself, or its
// escape. Bytes from 0x80 up are parts of UTF-8 sequences and stay as they
// are; the line separators among them are handled apart.
struct Escape {
    char bytes[8];
    unsigned char length;
};

constexpr auto kEscapes = [] {
    constexpr char hex[] = "0123456789abcdef";
    std::array<Escape, 256> escapes{};
    for (int c = 0; c < 256; ++c) {
        auto& escape = escapes[static_cast<std::size_t>(c)];
        const char* shortForm = c == '"'    ? "\\\""
                                : c == '\\' ? "\\\\"
                                : c == '\n' ? "\\n"
                                : c == '\r' ? "\\r"
                                : c == '\t' ? "\\t"
                                : c == '\b' ? "\\b"
                                : c == '\f' ? "\\f"
                                            : nullptr;
        if (shortForm) {
            escape = {{shortForm[0], shortForm[1]}, 2};
        } else if (c < 0x20) {
            escape = {{'\\', 'u', '0', '0', hex[c >> 4], hex[c & 0xF]}, 6};
        } else {
            escape = {{static_cast<char>(c)}, 1};
        }
    }
    return escapes;
}();

// U+2028 and U+2029, which older script engines refuse inside literals.
bool isLineSeparator(const unsigned char* bytes, std::size_t available) {
    return available >= 3 && bytes[0] == 0xE2 && bytes[1] == 0x80 && (bytes[2] == 0xA8 || bytes[2] == 0xA9);
}

// The escape of the line separator whose last byte is `last`.
const char* separatorEscape(unsigned char last) {
    return last == 0xA8 ? "\\u2028" : "\\u2029";
}

// Writes the form of the character at `i` and returns how many bytes of
// `bytes` it took: 3 for a line separator, else 1. Every store is eight bytes.
inline std::size_t writeEscaped(const unsigned char* bytes, std::size_t i, std::size_t size, char*& o) {
    const unsigned char c = bytes[i];
    if (c == 0xE2 && isLineSeparator(bytes + i, size - i)) {
        std::memcpy(o, separatorEscape(bytes[i + 2]), 6);
        o += 6;
        return 3;
    }
    std::memcpy(o, kEscapes[c].bytes, sizeof Escape::bytes);
    o += kEscapes[c].length;
    return 1;
}

#if defined(__SSE2__)
// Sixteen bytes at a time: the quotes, backslashes, control characters and
// 0xE2 (which starts the line separators) among them, one bit per byte.
inline __m128i bytesEqual(__m128i block, char c) {
    return _mm_cmpeq_epi8(block, _mm_set1_epi8(c));
}

inline __m128i controlBytes(__m128i block) {
    const __m128i last = _mm_set1_epi8(0x1F);
    return _mm_cmpeq_epi8(_mm_max_epu8(block, last), last);
}

inline unsigned specialBytes(__m128i block) {
    const __m128i escaped = _mm_or_si128(bytesEqual(block, '"'), bytesEqual(block, '\\'));
    const __m128i special =
        _mm_or_si128(escaped, _mm_or_si128(bytesEqual(block, '\xE2'), controlBytes(block)));
    return static_cast<unsigned>(_mm_movemask_epi8(special));
}
#endif

// The length of `text` as a JSON string literal, quotes included; none when
// it is not valid UTF-8.
std::optional<std::size_t> literalLength(const unsigned char* bytes, std::size_t size) {
    if (!isValidUtf8({reinterpret_cast<const char*>(bytes), size})) return std::nullopt;
    std::size_t length = size + 2;
    std::size_t i = 0;
    const auto separatorAt = [&](std::size_t at) {
        return bytes[at] == 0xE2 && isLineSeparator(bytes + at, size - at);
    };
#if defined(__SSE2__)
    // What each byte gains: one for a short escape, five for \u00XX.
    const __m128i one = _mm_set1_epi8(1);
    const __m128i five = _mm_set1_epi8(5);
    __m128i sums = _mm_setzero_si128();
    for (; i + 16 <= size; i += 16) {
        const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + i));
        const __m128i controls = controlBytes(block);
        const __m128i shortForms =
            _mm_or_si128(_mm_or_si128(_mm_or_si128(bytesEqual(block, '\n'), bytesEqual(block, '\r')),
                                      bytesEqual(block, '\t')),
                         _mm_or_si128(_mm_or_si128(bytesEqual(block, '\b'), bytesEqual(block, '\f')),
                                      _mm_or_si128(bytesEqual(block, '"'), bytesEqual(block, '\\'))));
        const __m128i growth = _mm_or_si128(_mm_and_si128(shortForms, one),
                                            _mm_andnot_si128(shortForms, _mm_and_si128(controls, five)));
        sums = _mm_add_epi64(sums, _mm_sad_epu8(growth, _mm_setzero_si128()));
        for (auto leads = static_cast<unsigned>(_mm_movemask_epi8(bytesEqual(block, '\xE2'))); leads != 0;
             leads &= leads - 1) {
            if (separatorAt(i + static_cast<std::size_t>(__builtin_ctz(leads)))) length += 3;
        }
    }
    length += static_cast<std::size_t>(_mm_cvtsi128_si64(sums)) +
              static_cast<std::size_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(sums, sums)));
#endif
    for (; i < size; ++i) length += kEscapes[bytes[i]].length - 1u + (separatorAt(i) ? 3 : 0);
    return length;
}

// Appends the literal of `size` bytes of valid UTF-8, `length` bytes long as
// literalLength counted it. Plain runs are stored sixteen bytes at a time,
// each escape written over the end of the run before it.
void appendLiteral(std::string& out, const unsigned char* bytes, std::size_t size, std::size_t length) {
    const std::size_t start = out.size();
    out.resize(start + length + 16);  // room for the last wide store
    char* o = out.data() + start;
    *o++ = '"';
    std::size_t i = 0;
#if defined(__SSE2__)
    const auto store = [&o](const unsigned char* from) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(o),
                         _mm_loadu_si128(reinterpret_cast<const __m128i*>(from)));
    };
    // Runs are reloaded from where they start, up to 31 bytes past the block.
    while (i + 32 <= size) {
        unsigned specials = specialBytes(_mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + i)));
        std::size_t from = 0;  // the first byte of the block not yet written
        while (specials != 0) {
            const auto at = static_cast<std::size_t>(__builtin_ctz(specials));
            store(bytes + i + from);
            o += at - from;
            from = at + writeEscaped(bytes, i + at, size, o);
            specials &= ~0u << from;  // a line separator may end past the block
        }
        if (from < 16) {
            store(bytes + i + from);
            o += 16 - from;
        }
        i += std::max<std::size_t>(from, 16);
    }
#endif
    while (i < size) i += writeEscaped(bytes, i, size, o);
    *o = '"';
    out.resize(start + length);
}

// Appends `text` as a JSON string literal, or returns false when it is not
// valid UTF-8. Only what JSON requires is escaped, plus U+2028 and U+2029.
bool appendString(std::string& out, std::string_view text) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    const auto length = literalLength(bytes, text.size());
    if (!length) return false;
    appendLiteral(out, bytes, text.size(), *length);
    return true;
}

// Bytes the JSON text of `value` takes when nothing needs escaping.
std::size_t plainSize(const nlohmann::json& value) {
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

bool appendJson(std::string& out, const nlohmann::json& value) {
    switch (value.type()) {
        case nlohmann::json::value_t::string: {
            return appendString(out, value.get_ref<const std::string&>());
        }
        case nlohmann::json::value_t::object: {
            out += '{';
            bool first = true;
            for (const auto& [key, item] : value.items()) {
                if (!first) out += ',';
                first = false;
                if (!appendString(out, key)) return false;
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

#if defined(__SSE2__)
// The sixteen bytes that end at `end`, stored so that they end at `to`.
inline void storeEndingAt(char* to, const unsigned char* end) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(to - 16),
                     _mm_loadu_si128(reinterpret_cast<const __m128i*>(end - 16)));
}
#endif

// Writes the form of the character that ends at `bytes + i` so that it ends
// at `o`. A line separator's last two bytes were written as themselves just
// before its first byte is reached; they are taken back.
inline void writeEscapedBackward(const unsigned char* bytes, std::size_t i, std::size_t size, char*& o) {
    const unsigned char c = bytes[i - 1];
    if (c == 0xE2 && isLineSeparator(bytes + i - 1, size - i + 1)) {
        o -= 4;
        std::memcpy(o, separatorEscape(bytes[i + 1]), 6);
        return;
    }
    o -= kEscapes[c].length;
    std::memcpy(o, kEscapes[c].bytes, kEscapes[c].length);
}

// Writes the literal of the first `size` bytes of `data` in place, from the
// end down, so that its opening quote lands at `data + at` (the characters are
// moved up by at least `at` + 1, which must be 32 or more so that no store
// reaches a byte not yet read).
void escapeInPlace(char* data, std::size_t size, std::size_t at, std::size_t length) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(data);
    char* o = data + at + length - 1;
    *o = '"';
    std::size_t i = size;
#if defined(__SSE2__)
    // Runs are reloaded from where they end, up to 31 bytes below the block.
    while (i >= 32) {
        const unsigned char* block = bytes + i - 16;
        unsigned specials = specialBytes(_mm_loadu_si128(reinterpret_cast<const __m128i*>(block)));
        std::size_t to = 16;  // the block's bytes below this are not yet written
        while (specials != 0) {
            const auto special = static_cast<std::size_t>(31 - __builtin_clz(specials));
            storeEndingAt(o, block + to);
            o -= to - special - 1;
            writeEscapedBackward(bytes, i - 16 + special + 1, size, o);
            to = special;
            specials &= (1u << special) - 1;
        }
        storeEndingAt(o, block + to);
        o -= to;
        i -= 16;
    }
#endif
    for (; i > 0; --i) writeEscapedBackward(bytes, i, size, o);
    *--o = '"';
}

}  // namespace

std::optional<std::string> jsonText(const nlohmann::json& value) {
    std::string text;
    text.reserve(plainSize(value));
    if (!appendJson(text, value)) return std::nullopt;
    return text;
}

std::optional<std::string> callbackScript(std::string_view callbackExpression,
                                          const nlohmann::json& argument) {
    // Room for some escapes: pages that are reserved but never written cost
    // nothing, and growing a text of megabytes means copying it.
    const std::size_t plain = callbackExpression.size() + plainSize(argument) + 2;
    std::string script;
    script.reserve(plain + plain / 4 + 64);
    script.append(callbackExpression).append("(");
    if (!appendJson(script, argument)) return std::nullopt;
    script += ')';
    return script;
}

std::optional<std::string> callbackScriptWithText(std::string_view callbackExpression,
                                                  const nlohmann::json& fields, std::string_view key,
                                                  std::string text) {
    if (!fields.is_object()) return std::nullopt;
    std::string head(callbackExpression);
    head += '(';
    if (!appendJson(head, fields)) return std::nullopt;
    // The object stays open for one more member.
    if (fields.empty()) {
        head.pop_back();
    } else {
        head.back() = ',';
    }
    if (!appendString(head, key)) return std::nullopt;
    head += ':';

    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    const auto length = literalLength(bytes, text.size());
    if (!length) return std::nullopt;
    const std::size_t total = head.size() + *length + 2;
    if (head.size() < 32 || text.capacity() < total) {
        std::string script = std::move(head);
        script.reserve(total);
        appendLiteral(script, bytes, text.size(), *length);
        script += "})";
        return script;
    }
    const std::size_t size = text.size();
    text.resize(total);
    text.replace(total - 2, 2, "})");
    escapeInPlace(text.data(), size, head.size(), *length);
    text.replace(0, head.size(), head);
    return text;
}

}  // namespace jaunvel
