// JSON text of callback arguments and the script text that carries them.
#include "bridge/native_callback.h"

#include "platform/text_files.h"

namespace jaunvel {
namespace {

// Appends `text` as a JSON string literal. Only what JSON requires is escaped,
// plus U+2028 and U+2029, which older script engines refuse inside literals.
// Runs of plain bytes are copied whole: settings texts can be megabytes.
void appendString(std::string& out, std::string_view text) {
    static constexpr char hex[] = "0123456789abcdef";
    out += '"';
    std::size_t plain = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        const bool separator = c == 0xE2 && i + 2 < text.size() && text[i + 1] == '\x80' &&
                               (text[i + 2] == '\xA8' || text[i + 2] == '\xA9');
        if (c >= 0x20 && c != '"' && c != '\\' && !separator) continue;
        out.append(text, plain, i - plain);
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\b':
                out += "\\b";
                break;
            case '\f':
                out += "\\f";
                break;
            case 0xE2:
                out += text[i + 2] == '\xA8' ? "\\u2028" : "\\u2029";
                i += 2;
                break;
            default:
                out += "\\u00";
                out += hex[c >> 4];
                out += hex[c & 0xF];
        }
        plain = i + 1;
    }
    out.append(text, plain, text.size() - plain);
    out += '"';
}

bool appendJson(std::string& out, const nlohmann::json& value) {
    switch (value.type()) {
        case nlohmann::json::value_t::string: {
            const auto& text = value.get_ref<const std::string&>();
            if (!isValidUtf8(text)) return false;
            appendString(out, text);
            return true;
        }
        case nlohmann::json::value_t::object: {
            out += '{';
            bool first = true;
            for (const auto& [key, item] : value.items()) {
                if (!first) out += ',';
                first = false;
                if (!isValidUtf8(key)) return false;
                appendString(out, key);
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

}  // namespace

std::optional<std::string> jsonText(const nlohmann::json& value) {
    std::string text;
    if (!appendJson(text, value)) return std::nullopt;
    return text;
}

std::string callbackScript(std::string_view callbackExpression, std::string_view jsonText) {
    std::string script;
    script.reserve(callbackExpression.size() + jsonText.size() + 2);
    script.append(callbackExpression).append("(").append(jsonText).append(")");
    return script;
}

}  // namespace jaunvel
