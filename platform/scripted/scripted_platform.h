// An in-memory platform for tests. Every call the shell makes is written to a
// transcript, timed jobs run on a virtual clock that the test advances, and
// the test answers each sheet and the modal alert itself.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"

namespace jaunvel::scripted {

struct Sheet {
    enum class Kind { open, save, alert } kind;
    OpenPanelOptions open;
    SavePanelOptions save;
    AlertOptions alert;
    OpenPanelCompletion openCompletion;
    SavePanelCompletion saveCompletion;
    AlertCompletion alertCompletion;
};

class ScriptedProcess;
class ScriptedWebView;
class ScriptedWindow;
class ScriptedUserContentController;

class ScriptedPlatform final : public Platform {
public:
    ScriptedPlatform();
    ~ScriptedPlatform() override;
    ScriptedPlatform(const ScriptedPlatform&) = delete;
    ScriptedPlatform& operator=(const ScriptedPlatform&) = delete;

    // ---- What the test sets up ----
    std::optional<Screen> mainScreenValue;
    std::vector<Screen> screenList;
    Environment environment;
    // Resource paths by file name ("server.js", "node").
    std::map<std::string, std::string> resources;
    // Launches of these executables throw with the given reason.
    std::map<std::string, std::string> launchFailures;
    long modalAlertResponse = modal_response::firstButton;
    // Virtual time the user takes to dismiss the modal alert; due jobs run meanwhile.
    std::uint64_t modalAlertDuration = 0;
    // Whether page loads succeed, and how long each takes to end.
    bool serverAnswers = true;
    std::uint64_t loadDuration = 0;
    // File reads and writes throw, as when memory runs out.
    bool fileAccessThrows = false;

    // ---- What the test reads ----
    const std::vector<std::string>& transcript() const { return transcript_; }
    // Hands the transcript over and starts a new one: a long run keeps only
    // what it still needs, as the real platform keeps no script it ran.
    std::vector<std::string> takeTranscript() { return std::exchange(transcript_, {}); }
    // Transcript lines that start with `prefix`.
    std::vector<std::string> linesStartingWith(const std::string& prefix) const;
    std::vector<std::string> evaluatedScripts() const;
    const std::vector<LaunchDescription>& launches() const { return launches_; }
    std::uint64_t now() const { return now_; }
    std::size_t pendingJobs() const { return jobs_.size(); }

    // ---- Driving ----
    void launchApplication();  // the platform's "launching is complete"
    void closeMainWindow();    // the user closes the last window
    void advance(std::uint64_t nanoseconds);
    // Posts a message as the page does: reaches the handler registered under
    // `name` on the current web view, if any.
    void postMessage(const std::string& name, const nlohmann::json& body);
    void failNavigation(bool provisional);
    // The page's alert, confirm and prompt; what the page's call returns is
    // written to the transcript as "PAGE …" when the sheet is answered.
    void pageAlert(std::optional<std::string> message);
    void pageConfirm(std::optional<std::string> message);
    void pagePrompt(std::optional<std::string> prompt, std::optional<std::string> defaultText);
    void exitProcess(std::size_t launchIndex);

    // Open sheets of the main window, oldest first.
    const std::deque<Sheet>& sheets() const;
    void answerOpenPanel(long response, std::vector<std::string> paths, std::size_t sheet = 0);
    void answerSavePanel(long response, std::optional<std::string> path, std::size_t sheet = 0);
    // Without `fieldText` the accessory field keeps the text it was shown with.
    void answerAlert(long response, std::optional<std::string> fieldText = std::nullopt,
                     std::size_t sheet = 0);

    // ---- Platform ----
    Application& application() override;
    std::optional<Screen> mainScreen() override { return mainScreenValue; }
    std::vector<Screen> screens() override { return screenList; }
    std::shared_ptr<UserContentController> makeUserContentController() override;
    std::shared_ptr<WebView> makeWebView(const Rect& frame,
                                         const WebViewConfiguration& configuration) override;
    std::shared_ptr<Window> makeWindow(const WindowOptions& options) override;
    long runModalAlert(const AlertOptions& options) override;
    std::shared_ptr<Process> launch(const LaunchDescription& description) override;
    std::optional<std::string> pathForResource(const std::string& name, const std::string& type) override;
    Environment processEnvironment() override { return environment; }
    void dispatchAfter(std::uint64_t nanoseconds, std::function<void()> job) override;
    std::optional<FileError> writeTextFile(const std::string& path, const std::string& text) override;
    std::optional<FileError> readTextFile(const std::string& path, const TextPieces& take) override;

    // For the backend's own objects.
    void record(std::string line);
    void schedule(std::uint64_t nanoseconds, std::function<void()> job);
    std::string clockText() const;

private:
    class ScriptedApplication;
    Sheet takeSheet(std::size_t index, Sheet::Kind kind);
    ScriptedWindow& mainWindow() const;
    ScriptedWebView& currentWebView() const;

    std::unique_ptr<ScriptedApplication> application_;
    std::vector<std::string> transcript_;
    std::vector<LaunchDescription> launches_;
    std::vector<std::shared_ptr<ScriptedProcess>> processes_;
    std::vector<std::weak_ptr<ScriptedUserContentController>> controllers_;
    std::vector<std::weak_ptr<ScriptedWebView>> webViews_;
    std::vector<std::weak_ptr<ScriptedWindow>> windows_;
    std::multimap<std::uint64_t, std::function<void()>> jobs_;  // by due time, then order scheduled
    std::uint64_t now_ = 0;
};

// Seconds with as many digits as they need: 0.5, 1.5, 3.
std::string seconds(std::uint64_t nanoseconds);
std::string rectText(const Rect& rect);

}  // namespace jaunvel::scripted
