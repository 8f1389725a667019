// Tournament settings files: the page's text saved to, and read back from, a
// file the user chooses.
#include "app/app_delegate.h"
#include "bridge/bridge_messages.h"
#include "bridge/json_writer.h"
#include "bridge/native_callback.h"
#include "platform/utf8.h"

namespace jaunvel {

namespace {

constexpr std::string_view kSaveFailed = "保存できませんでした";
constexpr std::string_view kReadFailed = "読み込めませんでした";
constexpr std::string_view kUtf8ByteOrderMark = "\xEF\xBB\xBF";

// The failure callback's argument: the error's description, or the fixed
// text when there is none or it is not text (a file name that is not UTF-8).
std::string failureText(const std::optional<FileError>& error, std::string_view fallback) {
    if (error && !error->localizedDescription.empty() && isValidUtf8(error->localizedDescription))
        return error->localizedDescription;
    return std::string(fallback);
}

}  // namespace

void AppDelegate::showConfigSavePanelForMessage(const ScriptMessage& message) {
    SaveRequest request = saveRequest(message.body);
    const SavePanelOptions options{"保存", "大会設定の保存先を選んでください", request.name, {"json"}};
    window()->beginSavePanel(options, [self = shared_from_this(), content = std::move(request.content)](
                                          long response, std::optional<std::string> path) {
        if (response != modal_response::ok || !path) return;
        std::optional<FileError> error;
        if (content) {
            error = self->platform_.writeTextFile(*path, *content);
        } else {
            error = FileError{"保存する内容を UTF-8 のテキストにできませんでした。"};
        }
        if (error) {
            self->callNative(callback::samplerConfigSaveFailed, failureText(error, kSaveFailed));
            return;
        }
        const nlohmann::ordered_json saved = {{"path", *path}, {"name", lastPathComponent(*path)}};
        // A path that is not UTF-8 cannot be told to the page; it still learns
        // that the save succeeded.
        if (!self->callNative(callback::samplerConfigSaved, saved))
            self->callNative(callback::samplerConfigSaved, nlohmann::ordered_json::object());
    });
}

void AppDelegate::showConfigOpenPanel() {
    const OpenPanelOptions options{
        true, false, false, "読み込み", "読み込む大会設定ファイルを選んでください", {"json"}};
    window()->beginOpenPanel(
        options, [self = shared_from_this()](long response, std::vector<std::string> paths) {
            if (response != modal_response::ok || paths.empty()) return;
            const std::string& path = paths.front();
            ReadResult read = self->platform_.readTextFile(path, capacityForScriptInPlace);
            if (!read.text) {
                self->callNative(callback::samplerConfigImportFailed, failureText(read.error, kReadFailed));
                return;
            }
            // A byte-order mark is not part of the settings text; the page's JSON
            // parser would refuse it.
            std::string content = std::move(*read.text);
            if (std::string_view(content).starts_with(kUtf8ByteOrderMark))
                content.erase(0, kUtf8ByteOrderMark.size());
            // The text becomes the script in its own buffer.
            const nlohmann::ordered_json fields = {{"path", path}, {"name", lastPathComponent(path)}};
            if (!self->evaluateCallback(callbackScriptWithText(callback::importSamplerConfig, fields,
                                                               "content", std::move(content))))
                self->callNative(callback::importSamplerConfig, nlohmann::ordered_json::object());
        });
}

}  // namespace jaunvel
