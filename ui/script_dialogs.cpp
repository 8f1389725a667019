// The page's alert, confirm and prompt, answered with sheets on the main window.
#include "app/app_delegate.h"
#include "ui/dialog_texts.h"

namespace jaunvel {

namespace {
AlertOptions pageAlert(const std::optional<std::string>& text, std::vector<std::string> buttons) {
    return AlertOptions{.title = dialog_text::title,
                        .messageText = dialog_text::title,
                        .informativeText = text.value_or(""),
                        .style = AlertStyle::warning,
                        .buttons = std::move(buttons),
                        .accessoryTextField = std::nullopt};
}
}  // namespace

void AppDelegate::runJavaScriptAlertPanel(const std::optional<std::string>& message,
                                          std::function<void()> completionHandler) {
    window()->beginAlertSheet(
        pageAlert(message, {dialog_text::ok}),
        [completionHandler = std::move(completionHandler)](long, std::string) { completionHandler(); });
}

void AppDelegate::runJavaScriptConfirmPanel(const std::optional<std::string>& message,
                                            std::function<void(bool)> completionHandler) {
    window()->beginAlertSheet(pageAlert(message, {dialog_text::ok, dialog_text::cancel}),
                              [completionHandler = std::move(completionHandler)](long response, std::string) {
                                  completionHandler(response == modal_response::firstButton);
                              });
}

void AppDelegate::runJavaScriptTextInputPanel(
    const std::optional<std::string>& prompt, const std::optional<std::string>& defaultText,
    std::function<void(std::optional<std::string>)> completionHandler) {
    auto alert = pageAlert(prompt, {dialog_text::ok, dialog_text::cancel});
    alert.accessoryTextField = AlertTextField{Rect{0, 0, 360, 24}, defaultText.value_or("")};
    window()->beginAlertSheet(
        alert, [completionHandler = std::move(completionHandler)](long response, std::string fieldText) {
            if (response == modal_response::firstButton) {
                completionHandler(std::move(fieldText));
            } else {
                completionHandler(std::nullopt);
            }
        });
}

}  // namespace jaunvel
