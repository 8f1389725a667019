// The one object of the shell: it owns the main window, the web view and the
// local server process, and every operation of the shell is one of its
// methods. Each subsystem's folder defines its own group of them.
#pragma once

#include <memory>
#include <string>

#include "platform/platform.h"

namespace jaunvel {

// What the terminal is told when the shell cannot start at all: the toolkit
// found no display to show its window on, for `reason`.
std::string startFailureMessage(const std::string& reason);

class AppDelegate final : public ApplicationDelegate,
                          public NavigationDelegate,
                          public UIDelegate,
                          public ScriptMessageHandler,
                          public std::enable_shared_from_this<AppDelegate> {
public:
    explicit AppDelegate(Platform& platform);
    ~AppDelegate() override;
    AppDelegate(const AppDelegate&) = delete;
    AppDelegate& operator=(const AppDelegate&) = delete;

    // ApplicationDelegate (app/app_delegate.cpp)
    void applicationDidFinishLaunching() override;
    void configurePerformanceMode();
    void runShortcutIfAvailable(const std::string& name);  // app/focus_shortcuts.cpp

    // ui (ui/main_window.cpp)
    void createWindow();

    // UIDelegate (ui/script_dialogs.cpp)
    void runJavaScriptAlertPanel(const std::optional<std::string>& message,
                                 std::function<void()> completionHandler) override;
    void runJavaScriptConfirmPanel(const std::optional<std::string>& message,
                                   std::function<void(bool)> completionHandler) override;
    void runJavaScriptTextInputPanel(
        const std::optional<std::string>& prompt, const std::optional<std::string>& defaultText,
        std::function<void(std::optional<std::string>)> completionHandler) override;

    // ScriptMessageHandler: the bridge router and the folder picker (bridge/router.cpp,
    // bridge/folder_picker.cpp)
    void userContentControllerDidReceiveScriptMessage(const ScriptMessage& message) override;

    // bridge (bridge/settings_files.cpp, bridge/audio_file_picker.cpp)
    void showConfigSavePanelForMessage(const ScriptMessage& message);
    void showConfigOpenPanel();
    void showAudioFilePickerForMessage(const ScriptMessage& message);

    // server (server/server_launcher.cpp, server/deck_loading.cpp)
    void startServer();
    void loadDeck();
    void webViewDidFailNavigation(const NavigationError& error) override;
    void webViewDidFailProvisionalNavigation(const NavigationError& error) override;
    void showError(const std::string& message);

    // ApplicationDelegate, continued (app/app_delegate.cpp)
    bool applicationShouldTerminateAfterLastWindowClosed() override;
    void applicationWillTerminate() override;

    // Properties. Getters hand out the caller's own strong reference.
    std::shared_ptr<Window> window() const { return window_; }
    void setWindow(std::shared_ptr<Window> window) { window_ = std::move(window); }
    std::shared_ptr<WebView> webView() const { return webView_; }
    void setWebView(std::shared_ptr<WebView> webView) { webView_ = std::move(webView); }
    std::shared_ptr<Process> serverTask() const { return serverTask_; }
    void setServerTask(std::shared_ptr<Process> serverTask) { serverTask_ = std::move(serverTask); }

private:
    void runFolderPicker(const ScriptMessage& message);
    void saveSettings(const std::string& path, const std::optional<std::string>& content);
    void openSettings(const std::string& path);
    // Evaluates `callbackExpression(<JSON text of argument>)` in the current web
    // view. False, and nothing is evaluated, when the argument has no JSON text.
    bool callNative(std::string_view callbackExpression, const nlohmann::ordered_json& argument);
    // Evaluates a callback script made elsewhere; false when there is none.
    bool evaluateCallback(std::optional<std::string> script);
    // Runs `work`; should it throw, the page waiting on it still gets
    // `failureCallback(failureText)` before the exception goes on.
    template <class Work>
    void answerFailureIfThrown(std::string_view failureCallback, std::string_view failureText, Work&& work) {
        try {
            work();
        } catch (...) {
            callNative(failureCallback, std::string(failureText));
            throw;
        }
    }
    // Schedules loadDeck after `nanoseconds`; the job holds the delegate.
    void scheduleLoadDeck(std::uint64_t nanoseconds);

    Platform& platform_;
    std::shared_ptr<Window> window_;
    std::shared_ptr<WebView> webView_;
    std::shared_ptr<Process> serverTask_;
};

}  // namespace jaunvel
