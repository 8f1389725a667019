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

std::optional<std::string> callbackScriptOpening(std::string_view callbackExpression,
                                                 const nlohmann::ordered_json& fields, std::string_view key) {
    if (!fields.is_object()) return std::nullopt;
    std::string script(callbackExpression);
    script += '(';
    if (!appendJson(script, fields)) return std::nullopt;
    script.pop_back();  // the object stays open for one more member
    if (!fields.empty()) script += ',';
    if (!appendJsonString(script, key)) return std::nullopt;
    script += ":\"";
    return script;
}

void closeCallbackScriptWithText(std::string& script) {
    script += "\"})";
}

}  // namespace jaunvel
