// Defaults taken from bridge message bodies.
#include "bridge/bridge_messages.h"

#include <cmath>

#include "bridge/json_writer.h"
#include "platform/utf8.h"

namespace jaunvel {

std::string folderImportMode(const nlohmann::json& body) {
    return body.is_string() ? body.get<std::string>() : std::string("theme");
}

nlohmann::json padIndex(const nlohmann::json& body) {
    if (body.is_number_integer()) return body;
    if (body.is_number_float() && std::isfinite(body.get<double>())) return body;
    return -1;
}

SaveRequest saveRequest(const nlohmann::json& body) {
    static const nlohmann::json emptyObject = nlohmann::json::object();
    const nlohmann::json& request = body.is_object() ? body : emptyObject;

    SaveRequest result{std::string(defaultSettingsFileName), std::string("{}")};
    if (auto name = request.find("name"); name != request.end() && name->is_string()) {
        const auto& text = name->get_ref<const std::string&>();
        if (!text.empty() && isValidUtf8(text)) result.name = text;
    }
    if (auto content = request.find("content"); content != request.end()) {
        if (content->is_string()) {
            result.content = content->get<std::string>();
        } else if (!content->is_null()) {
            // Settings the page sent as a value rather than as text are kept
            // as that value's JSON text instead of being dropped.
            result.content = jsonText(*content);
        }
    }
    return result;
}

}  // namespace jaunvel
