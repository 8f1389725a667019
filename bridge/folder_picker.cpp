// The folder picker: theme, background-music and sampler-page folders.
#include "app/app_delegate.h"
#include "bridge/bridge_messages.h"
#include "bridge/native_callback.h"
#include "ui/dialog_texts.h"

namespace jaunvel {

void AppDelegate::runFolderPicker(const ScriptMessage& message) {
    OpenPanelOptions options{.canChooseFiles = false,
                             .canChooseDirectories = true,
                             .allowsMultipleSelection = false,
                             .title = dialog_text::title,
                             .prompt = "選択",
                             .cancelTitle = dialog_text::cancel,
                             .message = "基本フォルダを選んでください",
                             .allowedFileTypes = {}};
    const std::string mode = folderImportMode(message.body);
    if (mode == "bgmImport") {
        options.message = "BGMとして取り込むフォルダを選んでください";
    } else if (mode == "samplerPageImport") {
        options.message = "現在のページに流し込む音源フォルダを選んでください";
    }
    window()->beginOpenPanel(
        options, [self = shared_from_this(), mode](long response, std::vector<std::string> paths) {
            if (response != modal_response::ok || paths.empty()) return;
            std::string_view expression = callback::setThemeFolder;
            if (mode == "bgmImport") {
                expression = callback::importBgmFolder;
            } else if (mode == "samplerPageImport") {
                expression = callback::importSamplerPageFolder;
            }
            self->callNative(expression, paths.front());
        });
}

}  // namespace jaunvel
