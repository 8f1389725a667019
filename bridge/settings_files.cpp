// Tournament settings files: the page's text saved to, and read back from, a
// file the user chooses.
#include "app/app_delegate.h"
#include "bridge/bridge_messages.h"
#include "bridge/json_writer.h"
#include "bridge/native_callback.h"
#include "platform/text_files.h"
#include "platform/utf8.h"
#include "ui/dialog_texts.h"

#include <utility>

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
    answerFailureIfThrown(callback::samplerConfigSaveFailed, kSaveFailed, [&] {
        SaveRequest request = saveRequest(message.body);
        const SavePanelOptions options{
            .title = dialog_text::title,
            .prompt = "保存",
            .cancelTitle = dialog_text::cancel,
            .message = "大会設定の保存先を選んでください",
            .nameFieldStringValue = request.name,
            .allowedFileTypes = {"json"},
            .replaceQuestion = {.messageBeforeName = "「",
                                .messageAfterName = "」はすでに存在します。置き換えますか？",
                                .informativeText = "置き換えると、今の内容は失われます。",
                                .cancelTitle = dialog_text::cancel,
                                .replaceTitle = "置き換える"}};
        window()->beginSavePanel(options, [self = shared_from_this(), content = std::move(request.content)](
                                              long response, std::optional<std::string> path) {
            if (response != modal_response::ok || !path) return;
            self->answerFailureIfThrown(callback::samplerConfigSaveFailed, kSaveFailed,
                                        [&] { self->saveSettings(*path, content); });
        });
    });
}

void AppDelegate::saveSettings(const std::string& path, const std::optional<std::string>& content) {
    std::optional<FileError> error;
    if (content) {
        error = platform_.writeTextFile(path, *content);
    } else {
        error = FileError{"保存する内容を UTF-8 のテキストにできませんでした。"};
    }
    if (error) {
        callNative(callback::samplerConfigSaveFailed, failureText(error, kSaveFailed));
        return;
    }
    const nlohmann::ordered_json saved = {{"path", path}, {"name", lastPathComponent(path)}};
    // A path that is not UTF-8 cannot be told to the page; it still learns
    // that the save succeeded.
    if (!callNative(callback::samplerConfigSaved, saved))
        callNative(callback::samplerConfigSaved, nlohmann::ordered_json::object());
}

void AppDelegate::showConfigOpenPanel() {
    answerFailureIfThrown(callback::samplerConfigImportFailed, kReadFailed, [&] {
        const OpenPanelOptions options{.canChooseFiles = true,
                                       .canChooseDirectories = false,
                                       .allowsMultipleSelection = false,
                                       .title = dialog_text::title,
                                       .prompt = "読み込み",
                                       .cancelTitle = dialog_text::cancel,
                                       .message = "読み込む大会設定ファイルを選んでください",
                                       .allowedFileTypes = {"json"}};
        window()->beginOpenPanel(
            options, [self = shared_from_this()](long response, std::vector<std::string> paths) {
                if (response != modal_response::ok || paths.empty()) return;
                self->answerFailureIfThrown(callback::samplerConfigImportFailed, kReadFailed,
                                            [&] { self->openSettings(paths.front()); });
            });
    });
}

void AppDelegate::openSettings(const std::string& path) {
    // The file's text is written into the script as each piece is read and
    // checked, while it is still in the processor's cache. A path that is not
    // UTF-8 gives no script; the file is still read, so that the page learns
    // whether it could be.
    const nlohmann::ordered_json fields = {{"path", path}, {"name", lastPathComponent(path)}};
    std::optional<std::string> script =
        callbackScriptOpening(callback::importSamplerConfig, fields, "content");
    bool first = true;
    const auto error = platform_.readTextFile(path, [&](std::string_view piece, std::size_t fileSize) {
        if (!script) return;
        if (std::exchange(first, false)) {
            // Escapes seldom make a settings text more than a quarter longer.
            reserveLargeText(*script, script->size() + fileSize + fileSize / 4 + 4096);
            // A byte-order mark is not part of the settings text; the page's
            // JSON parser would refuse it.
            if (piece.starts_with(kUtf8ByteOrderMark)) piece.remove_prefix(kUtf8ByteOrderMark.size());
        }
        appendJsonStringContent(*script, piece);
    });
    if (error) {
        callNative(callback::samplerConfigImportFailed, failureText(error, kReadFailed));
        return;
    }
    if (script) closeCallbackScriptWithText(*script);
    if (!evaluateCallback(std::move(script)))
        callNative(callback::importSamplerConfig, nlohmann::ordered_json::object());
}

}  // namespace jaunvel
