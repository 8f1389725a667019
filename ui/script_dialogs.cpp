// The page's alert, confirm and prompt, answered with sheets on the main window.
#include "app/app_delegate.h"

namespace jaunvel {

namespace {
AlertOptions pageAlert(const std::optional<std::string>& text, std::vector<std::string> buttons) {
    return AlertOptions{"Jaunvel", text.value_or(""), AlertStyle::warning, std::move(buttons), std::nullopt};
}
}  // namespace

void AppDelegate::runJavaScriptAlertPanel(const std::optional<std::string>& message,
                                          std::function<void()> completionHandler) {
    window()->beginAlertSheet(pageAlert(message, {"OK"}), [completionHandler = std::move(completionHandler)](
                                                              long, std::string) { completionHandler(); });
}

void AppDelegate::runJavaScriptConfirmPanel(const std::optional<std::string>& message,
                                            std::function<void(bool)> completionHandler) {
    window()->beginAlertSheet(pageAlert(message, {"OK", "キャンセル"}),
                              [completionHandler = std::move(completionHandler)](long response, std::string) {
                                  completionHandler(response == modal_response::firstButton);
                              });
}

void AppDelegate::runJavaScriptTextInputPanel(
    const std::optional<std::string>& prompt, const std::optional<std::string>& defaultText,
    std::function<void(std::optional<std::string>)> completionHandler) {
    auto alert = pageAlert(prompt, {"OK", "キャンセル"});
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
