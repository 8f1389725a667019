// The one way every answer reaches the page: `window.<callback>(<JSON text>)`,
// evaluated in the web view with nothing waiting for its result.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

namespace jaunvel {

namespace callback {
inline constexpr std::string_view setThemeFolder = "window.setThemeFolderFromNative";
inline constexpr std::string_view importBgmFolder = "window.importBgmFolderFromNative";
inline constexpr std::string_view importSamplerPageFolder = "window.importSamplerPageFolderFromNative";
inline constexpr std::string_view setSamplerFile = "window.setSamplerFileFromNative";
inline constexpr std::string_view samplerConfigSaved = "window.samplerConfigSavedFromNative";
inline constexpr std::string_view samplerConfigSaveFailed = "window.samplerConfigSaveFailedFromNative";
inline constexpr std::string_view importSamplerConfig = "window.importSamplerConfigFromNative";
inline constexpr std::string_view samplerConfigImportFailed = "window.samplerConfigImportFailedFromNative";
}  // namespace callback

// `callbackExpression(<JSON text of argument>)`, with nothing before, between
// or after; none when the argument has no JSON text.
std::optional<std::string> callbackScript(std::string_view callbackExpression,
                                          const nlohmann::ordered_json& argument);

// A script whose argument is `fields` and one more member, `key`, holding a
// long text: `callbackExpression({<fields>, "<key>": "` to which the text is
// appended a piece at a time with appendJsonStringContent, then closed with
// closeCallbackScriptWithText. None when a field is not valid UTF-8.
std::optional<std::string> callbackScriptOpening(std::string_view callbackExpression,
                                                 const nlohmann::ordered_json& fields, std::string_view key);
void closeCallbackScriptWithText(std::string& script);

}  // namespace jaunvel
