// The script text that carries a callback's argument to the page.
#include "bridge/native_callback.h"

#include "bridge/json_writer.h"

namespace jaunvel {

std::optional<std::string> callbackScript(std::string_view callbackExpression,
                                          const nlohmann::ordered_json& argument) {
    std::string script(callbackExpression);
    script += '(';
    if (!appendJson(script, argument)) return std::nullopt;
    script += ')';
    return script;
}

std::optional<std::string> callbackScriptWithText(std::string_view callbackExpression,
                                                  const nlohmann::ordered_json& fields, std::string_view key,
                                                  std::string text) {
    if (!fields.is_object()) return std::nullopt;
    std::string head(callbackExpression);
    head += '(';
    if (!appendJson(head, fields)) return std::nullopt;
    head.pop_back();  // the object stays open for one more member
    if (!fields.empty()) head += ',';
    if (!appendJsonString(head, key)) return std::nullopt;
    head += ':';

    const std::size_t length = jsonStringLength(text);
    const std::size_t total = head.size() + length + 2;
    if (head.size() >= 32 && text.capacity() >= total) {
        const std::size_t size = text.size();
        text.resize(total);
        writeJsonStringInPlace(text.data(), size, head.size(), length);
        text.replace(0, head.size(), head);
        text.replace(total - 2, 2, "})");
        return text;
    }
    std::string script = std::move(head);
    script.reserve(total);
    appendJsonString(script, text);
    script += "})";
    return script;
}

}  // namespace jaunvel
