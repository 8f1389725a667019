// Posted values: JSON text in, message body out, unpaired surrogates kept.
#include "platform/gtk/gtk_jsc_json.h"

#include <optional>
#include <string>

#include "platform/utf8.h"

namespace jaunvel::gtk {
namespace {

// While parsing, an unpaired surrogate S stands as U+FDEF followed by
// U+E000 + (S - U+D800), and a U+FDEF of the page's own as U+FDEF U+FDEF;
// afterwards every string is decoded back. U+FDEF is a noncharacter, so it
// rarely occurs in page text, and doubling keeps even that case exact.
constexpr char32_t kMarker = 0xFDEF;
constexpr char32_t kSurrogateBase = 0xE000;

std::optional<unsigned> hex4(std::string_view text, std::size_t at) {
    if (at + 4 > text.size()) return std::nullopt;
    unsigned value = 0;
    for (std::size_t i = at; i < at + 4; ++i) {
        const char c = text[i];
        value <<= 4;
        if (c >= '0' && c <= '9') {
            value |= static_cast<unsigned>(c - '0');
        } else if (c >= 'a' && c <= 'f') {
            value |= static_cast<unsigned>(c - 'a' + 10);
        } else if (c >= 'A' && c <= 'F') {
            value |= static_cast<unsigned>(c - 'A' + 10);
        } else {
            return std::nullopt;
        }
    }
    return value;
}

void appendEscape(std::string& out, unsigned value) {
    const auto escape = unicodeEscape(value);
    out.append(escape.data(), escape.size());
}

// Rewrites lone surrogate escapes and the marker into marker pairs.
std::string encodeMarkers(std::string_view text) {
    static constexpr std::string_view rawMarker = "\xEF\xB7\xAF";
    std::string out;
    out.reserve(text.size());
    bool inString = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (!inString) {
            if (c == '"') inString = true;
            out += c;
            continue;
        }
        if (c == '"') {
            inString = false;
            out += c;
        } else if (text.substr(i).starts_with(rawMarker)) {
            appendEscape(out, kMarker);
            appendEscape(out, kMarker);
            i += rawMarker.size() - 1;
        } else if (c == '\\' && i + 1 < text.size() && text[i + 1] == 'u') {
            const auto value = hex4(text, i + 2);
            if (!value) {  // malformed: leave it for the parser to refuse
                out += c;
                continue;
            }
            const bool high = *value >= 0xD800 && *value <= 0xDBFF;
            const bool low = *value >= 0xDC00 && *value <= 0xDFFF;
            std::optional<unsigned> next;
            if (high && text.substr(i + 6).starts_with("\\u")) next = hex4(text, i + 8);
            if (high && next && *next >= 0xDC00 && *next <= 0xDFFF) {
                out.append(text.substr(i, 12));  // a proper pair
                i += 11;
            } else if (high || low) {
                appendEscape(out, kMarker);
                appendEscape(out, kSurrogateBase + (*value - 0xD800));
                i += 5;
            } else if (*value == kMarker) {
                appendEscape(out, kMarker);
                appendEscape(out, kMarker);
                i += 5;
            } else {
                out.append(text.substr(i, 6));
                i += 5;
            }
        } else if (c == '\\' && i + 1 < text.size()) {
            out.append(text.substr(i, 2));
            ++i;
        } else {
            out += c;
        }
    }
    return out;
}

// Reads one UTF-8 character of valid text (as the parser produced it).
char32_t decodeAt(const std::string& text, std::size_t i, std::size_t& length) {
    const auto lead = static_cast<unsigned char>(text[i]);
    if (lead < 0x80) {
        length = 1;
        return lead;
    }
    length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
    char32_t value = lead & (0xFF >> (length + 1));
    for (std::size_t k = 1; k < length; ++k)
        value = (value << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    return value;
}

std::string decodeMarkers(const std::string& text) {
    if (text.find("\xEF\xB7\xAF") == std::string::npos) return text;
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        std::size_t length = 0;
        const char32_t c = decodeAt(text, i, length);
        if (c != kMarker || i + length >= text.size()) {
            out.append(text, i, length);
            i += length;
            continue;
        }
        std::size_t nextLength = 0;
        const char32_t next = decodeAt(text, i + length, nextLength);
        if (next == kMarker) {
            out.append(text, i, length);
        } else if (next < kSurrogateBase || next > kSurrogateBase + 0x7FF) {
            out.append(text, i, length);  // not one of ours: keep as it came
            i += length;
            continue;
        } else {
            const char32_t surrogate = 0xD800 + (next - kSurrogateBase);
            out += static_cast<char>(0xE0 | (surrogate >> 12));
            out += static_cast<char>(0x80 | ((surrogate >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (surrogate & 0x3F));
        }
        i += length + nextLength;
    }
    return out;
}

nlohmann::json decodeTree(const nlohmann::json& value) {
    if (value.is_string()) return decodeMarkers(value.get_ref<const std::string&>());
    if (value.is_array()) {
        nlohmann::json out = nlohmann::json::array();
        for (const auto& item : value) out.push_back(decodeTree(item));
        return out;
    }
    if (value.is_object()) {
        nlohmann::json out = nlohmann::json::object();
        for (const auto& [key, item] : value.items()) out[decodeMarkers(key)] = decodeTree(item);
        return out;
    }
    return value;
}

}  // namespace

nlohmann::json messageBodyFromJscJson(std::string_view jsonText) {
    auto parsed = nlohmann::json::parse(encodeMarkers(jsonText), nullptr, false);
    if (parsed.is_discarded()) return nullptr;
    return decodeTree(parsed);
}

}  // namespace jaunvel::gtk
