// The main window and the web view that shows the deck page.
#include "ui/main_window.h"

#include "app/app_delegate.h"
#include "bridge/bridge_messages.h"

namespace jaunvel {

std::optional<Screen> chooseScreen(const std::optional<Screen>& mainScreen,
                                   const std::vector<Screen>& screens) {
    if (screens.size() <= 1) return mainScreen;
    Screen choice = screens.front();
    for (const auto& screen : screens) {
        if (screen.frame.x > choice.frame.x) choice = screen;
    }
    return choice;
}

Rect contentRectForVisibleFrame(const Rect& visibleFrame) {
    const double width = visibleFrame.width > kMaxContentWidth ? kMaxContentWidth : visibleFrame.width;
    const double height = visibleFrame.height > kMaxContentHeight ? kMaxContentHeight : visibleFrame.height;
    return Rect{visibleFrame.x + visibleFrame.width * 0.5 - width / 2,
                visibleFrame.y + visibleFrame.height * 0.5 - height / 2, width, height};
}

void AppDelegate::createWindow() {
    WebViewConfiguration configuration;
    auto controller = platform_.makeUserContentController();
    for (const auto name : channelsInOrder)
        controller->addScriptMessageHandler(shared_from_this(), std::string(name));
    configuration.userContentController = std::move(controller);
    configuration.mediaTypesRequiringUserActionForPlayback = media_types::none;

    setWebView(platform_.makeWebView(Rect{}, configuration));
    webView()->setNavigationDelegate(weak_from_this());
    webView()->setUIDelegate(weak_from_this());

    // Without any screen the window still appears, at its largest size.
    const auto screen = chooseScreen(platform_.mainScreen(), platform_.screens());
    const Rect visibleFrame = screen ? screen->visibleFrame : Rect{0, 0, kMaxContentWidth, kMaxContentHeight};
    const unsigned styleMask = window_style::titled | window_style::closable | window_style::miniaturizable |
                               window_style::resizable;
    setWindow(platform_.makeWindow(
        WindowOptions{contentRectForVisibleFrame(visibleFrame), styleMask, BackingStore::buffered, false}));
    window()->setTitle("Jaunvel");
    window()->setContentView(webView());
    window()->makeKeyAndOrderFront();
    platform_.application().activateIgnoringOtherApps(true);
}

}  // namespace jaunvel
