// JSON text of callback arguments and the script text that carries them.
#include "bridge/native_callback.h"

namespace jaunvel {

std::optional<std::string> jsonText(const nlohmann::json& value) {
    std::string text;
    try {
        text = value.dump(-1, ' ', false, nlohmann::json::error_handler_t::strict);
    } catch (const nlohmann::json::type_error&) {
        return std::nullopt;
    }
    // Outside string literals JSON text is plain ASCII, so these byte
    // sequences can only be characters inside a string.
    static constexpr std::string_view lineSeparator = "\xE2\x80\xA8";
    static constexpr std::string_view paragraphSeparator = "\xE2\x80\xA9";
    std::string escaped;
    escaped.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        std::string_view rest(text.data() + i, text.size() - i);
        if (rest.starts_with(lineSeparator)) {
            escaped += "\\u2028";
            i += 2;
        } else if (rest.starts_with(paragraphSeparator)) {
            escaped += "\\u2029";
            i += 2;
        } else {
            escaped += text[i];
        }
    }
    return escaped;
}

std::string callbackScript(std::string_view callbackExpression, std::string_view jsonText) {
    std::string script;
    script.reserve(callbackExpression.size() + jsonText.size() + 2);
    script.append(callbackExpression).append("(").append(jsonText).append(")");
    return script;
}

}  // namespace jaunvel
