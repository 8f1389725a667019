// The delegate's lifecycle: start-up and shutdown sequences and the
// performance mode that keeps the desktop quiet while the shell runs.
#include "app/app_delegate.h"

#include "bridge/bridge_messages.h"

namespace jaunvel {

namespace {
constexpr std::uint64_t kStartupLoadDelays[] = {500'000'000, 1'500'000'000, 3'000'000'000};
constexpr unsigned long kPerformanceOptions =
    presentation::autoHideDock | presentation::autoHideMenuBar | presentation::disableMenuBarTransparency;
}  // namespace

std::string startFailureMessage(const std::string& reason) {
    return "画面に接続できないため Jaunvel を起動できません（" + reason +
           "）。DISPLAY または WAYLAND_DISPLAY を確かめてください。";
}

AppDelegate::AppDelegate(Platform& platform) : platform_(platform) {}

AppDelegate::~AppDelegate() = default;

void AppDelegate::applicationDidFinishLaunching() {
    platform_.application().setActivationPolicy(ActivationPolicy::regular);
    configurePerformanceMode();
    runShortcutIfAvailable("Brasmoor Focus On");
    startServer();
    createWindow();
    // Each delay counts from now, not from the previous load.
    for (const auto delay : kStartupLoadDelays) scheduleLoadDeck(delay);
}

void AppDelegate::configurePerformanceMode() {
    platform_.application().setPresentationOptions(kPerformanceOptions);
}

bool AppDelegate::applicationShouldTerminateAfterLastWindowClosed() {
    return true;
}

void AppDelegate::applicationWillTerminate() {
    runShortcutIfAvailable("Brasmoor Focus Off");
    platform_.application().setPresentationOptions(presentation::defaultOptions);
    for (const auto name : channelsInOrder) {
        if (const auto view = webView()) {
            view->configuration().userContentController->removeScriptMessageHandlerForName(std::string(name));
        }
    }
    if (const auto server = serverTask(); server && server->isRunning()) server->terminate();
}

}  // namespace jaunvel
