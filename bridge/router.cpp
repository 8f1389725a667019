// The bridge router: every message the page posts arrives here, and every
// answer goes back through callNative.
#include "app/app_delegate.h"
#include "bridge/bridge_messages.h"
#include "bridge/native_callback.h"

namespace jaunvel {

void AppDelegate::userContentControllerDidReceiveScriptMessage(const ScriptMessage& message) {
    if (message.name == channel::filePicker) {
        showAudioFilePickerForMessage(message);
    } else if (message.name == channel::configSaver) {
        showConfigSavePanelForMessage(message);
    } else if (message.name == channel::configPicker) {
        showConfigOpenPanel();
    } else if (message.name == channel::folderPicker) {
        runFolderPicker(message);
    }
}

bool AppDelegate::callNative(std::string_view callbackExpression, const nlohmann::ordered_json& argument) {
    return evaluateCallback(callbackScript(callbackExpression, argument));
}

bool AppDelegate::evaluateCallback(std::optional<std::string> script) {
    if (!script) return false;
    if (const auto view = webView()) view->evaluateJavaScript(std::move(*script));
    return true;
}

}  // namespace jaunvel
