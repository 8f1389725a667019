// The audio file picker: one sound file for a pad, answered with the pad index.
#include "app/app_delegate.h"
#include "bridge/bridge_messages.h"
#include "bridge/native_callback.h"
#include "ui/dialog_texts.h"

namespace jaunvel {

void AppDelegate::showAudioFilePickerForMessage(const ScriptMessage& message) {
    nlohmann::json index = padIndex(message.body);
    const OpenPanelOptions options{.canChooseFiles = true,
                                   .canChooseDirectories = false,
                                   .allowsMultipleSelection = false,
                                   .title = dialog_text::title,
                                   .prompt = "選択",
                                   .cancelTitle = dialog_text::cancel,
                                   .message = "パッドに登録する音源を選んでください",
                                   .allowedFileTypes = {"mp3", "m4a", "wav", "aac", "flac", "aiff", "aif"}};
    window()->beginOpenPanel(options, [self = shared_from_this(), index = std::move(index)](
                                          long response, std::vector<std::string> paths) {
        if (response != modal_response::ok || paths.empty()) return;
        const std::string& path = paths.front();
        const nlohmann::ordered_json payload = {
            {"index", index}, {"path", path}, {"name", lastPathComponent(path)}};
        // A path that is not UTF-8 has no JSON text: better no answer than a
        // malformed script.
        self->callNative(callback::setSamplerFile, payload);
    });
}

}  // namespace jaunvel
