// The scripted platform: transcript, virtual clock and test-answered sheets.
#include "platform/scripted/scripted_platform.h"

#include <cstdio>
#include <new>
#include <stdexcept>

#include "platform/text_files.h"

namespace jaunvel::scripted {

std::string seconds(std::uint64_t nanoseconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.9g", static_cast<double>(nanoseconds) / 1e9);
    return text;
}

std::string rectText(const Rect& rect) {
    char text[128];
    std::snprintf(text, sizeof text, "(%.15g, %.15g, %.15g, %.15g)", rect.x, rect.y, rect.width, rect.height);
    return text;
}

namespace {
std::string joined(const std::vector<std::string>& items) {
    std::string text;
    for (const auto& item : items) text += (text.empty() ? "" : ",") + item;
    return text;
}
}  // namespace

class ScriptedPlatform::ScriptedApplication final : public Application {
public:
    explicit ScriptedApplication(ScriptedPlatform& platform) : platform_(platform) {}
    void setDelegate(std::weak_ptr<ApplicationDelegate> delegate) override {
        delegate_ = std::move(delegate);
    }
    void setActivationPolicy(ActivationPolicy policy) override {
        platform_.record("ACTIVATION_POLICY " + std::to_string(static_cast<int>(policy)));
    }
    void setPresentationOptions(unsigned long options) override {
        platform_.record("PRESENTATION_OPTIONS " + std::to_string(options));
    }
    void activateIgnoringOtherApps(bool flag) override {
        platform_.record(std::string("ACTIVATE ignoringOtherApps=") + (flag ? "1" : "0"));
    }
    void run() override { platform_.launchApplication(); }
    std::shared_ptr<ApplicationDelegate> delegate() const {
        auto delegate = delegate_.lock();
        if (!delegate) throw std::logic_error("no application delegate installed");
        return delegate;
    }

private:
    ScriptedPlatform& platform_;
    std::weak_ptr<ApplicationDelegate> delegate_;
};

class ScriptedProcess final : public Process {
public:
    ScriptedProcess(ScriptedPlatform& platform, std::string executable)
        : platform_(platform), executable_(std::move(executable)) {}
    bool isRunning() const override { return running; }
    void terminate() override { platform_.record("TERMINATE " + executable_); }
    bool running = true;

private:
    ScriptedPlatform& platform_;
    std::string executable_;
};

class ScriptedUserContentController final : public UserContentController {
public:
    explicit ScriptedUserContentController(ScriptedPlatform& platform) : platform_(platform) {}
    void addScriptMessageHandler(std::shared_ptr<ScriptMessageHandler> handler,
                                 const std::string& name) override {
        platform_.record("ADD_HANDLER " + name);
        handlers[name] = std::move(handler);
    }
    void removeScriptMessageHandlerForName(const std::string& name) override {
        platform_.record("REMOVE_HANDLER " + name);
        handlers.erase(name);
    }
    std::map<std::string, std::shared_ptr<ScriptMessageHandler>> handlers;

private:
    ScriptedPlatform& platform_;
};

class ScriptedWebView final : public WebView, public std::enable_shared_from_this<ScriptedWebView> {
public:
    ScriptedWebView(ScriptedPlatform& platform, WebViewConfiguration configuration)
        : platform_(platform), configuration_(std::move(configuration)) {}
    const WebViewConfiguration& configuration() const override { return configuration_; }
    void setNavigationDelegate(std::weak_ptr<NavigationDelegate> delegate) override {
        navigationDelegate_ = std::move(delegate);
    }
    void setUIDelegate(std::weak_ptr<UIDelegate> delegate) override { uiDelegate_ = std::move(delegate); }
    void loadRequest(const URLRequest& request) override {
        platform_.record("LOAD " + request.url +
                         " cache=" + std::to_string(static_cast<int>(request.cachePolicy)) +
                         " timeout=" + seconds(static_cast<std::uint64_t>(request.timeoutInterval * 1e9)) +
                         " at=" + platform_.clockText());
        // A load still in progress is cancelled by the new one.
        if (inFlight_ != 0) {
            platform_.schedule(0, [self = shared_from_this()] { self->fail("cancelled"); });
        }
        const std::uint64_t load = ++loadCounter_;
        inFlight_ = load;
        platform_.schedule(platform_.loadDuration, [self = shared_from_this(), load] {
            if (self->inFlight_ != load) return;  // replaced and already reported
            self->inFlight_ = 0;
            if (self->platform_.serverAnswers) {
                self->platform_.record("LOADED at=" + self->platform_.clockText());
            } else {
                self->fail("connection refused");
            }
        });
    }
    void evaluateJavaScript(std::string script) override {
        script.insert(0, "EVAL ");
        platform_.record(std::move(script));
    }

    void fail(const std::string& description, bool provisional = true) {
        platform_.record(std::string("NAVIGATION_FAILED ") + (provisional ? "provisional " : "") +
                         description + " at=" + platform_.clockText());
        if (auto delegate = navigationDelegate_.lock()) {
            if (provisional) {
                delegate->webViewDidFailProvisionalNavigation(NavigationError{"scripted", 0, description});
            } else {
                delegate->webViewDidFailNavigation(NavigationError{"scripted", 0, description});
            }
        }
    }
    std::shared_ptr<UIDelegate> uiDelegate() const { return uiDelegate_.lock(); }

private:
    ScriptedPlatform& platform_;
    WebViewConfiguration configuration_;
    std::weak_ptr<NavigationDelegate> navigationDelegate_;
    std::weak_ptr<UIDelegate> uiDelegate_;
    std::uint64_t loadCounter_ = 0;
    std::uint64_t inFlight_ = 0;
};

class ScriptedWindow final : public Window {
public:
    explicit ScriptedWindow(ScriptedPlatform& platform) : platform_(platform) {}
    void setTitle(const std::string& title) override { platform_.record("TITLE " + title); }
    void setContentView(std::shared_ptr<WebView> view) override {
        platform_.record("CONTENT_VIEW");
        contentView_ = std::move(view);
    }
    void makeKeyAndOrderFront() override { platform_.record("KEY_AND_FRONT"); }
    void beginOpenPanel(const OpenPanelOptions& options, OpenPanelCompletion completion) override {
        platform_.record("SHEET open title=" + options.title +
                         " files=" + (options.canChooseFiles ? "1" : "0") +
                         " dirs=" + (options.canChooseDirectories ? "1" : "0") +
                         " multiple=" + (options.allowsMultipleSelection ? "1" : "0") +
                         " prompt=" + options.prompt + " cancel=" + options.cancelTitle +
                         " message=" + options.message + " types=" + joined(options.allowedFileTypes));
        Sheet sheet{Sheet::Kind::open, options, {}, {}, std::move(completion), {}, {}};
        sheets.push_back(std::move(sheet));
    }
    void beginSavePanel(const SavePanelOptions& options, SavePanelCompletion completion) override {
        const auto& question = options.replaceQuestion;
        platform_.record(
            "SHEET save title=" + options.title + " prompt=" + options.prompt +
            " cancel=" + options.cancelTitle + " message=" + options.message +
            " name=" + options.nameFieldStringValue + " types=" + joined(options.allowedFileTypes) +
            " replace=" + question.messageBeforeName + "NAME" + question.messageAfterName + " / " +
            question.informativeText + " buttons=" + question.cancelTitle + "," + question.replaceTitle);
        Sheet sheet{Sheet::Kind::save, {}, options, {}, {}, std::move(completion), {}};
        sheets.push_back(std::move(sheet));
    }
    void beginAlertSheet(const AlertOptions& options, AlertCompletion completion) override {
        std::string line = "SHEET alert title=" + options.title +
                           " style=" + std::to_string(static_cast<int>(options.style)) +
                           " message=" + options.messageText + " informative=" + options.informativeText +
                           " buttons=" + joined(options.buttons);
        if (options.accessoryTextField) {
            line += " field=" + rectText(options.accessoryTextField->frame) + " \"" +
                    options.accessoryTextField->stringValue + "\"";
        }
        platform_.record(line);
        Sheet sheet{Sheet::Kind::alert, {}, {}, options, {}, {}, std::move(completion)};
        sheets.push_back(std::move(sheet));
    }
    std::deque<Sheet> sheets;

private:
    ScriptedPlatform& platform_;
    std::shared_ptr<WebView> contentView_;
};

ScriptedPlatform::ScriptedPlatform() : application_(std::make_unique<ScriptedApplication>(*this)) {}

ScriptedPlatform::~ScriptedPlatform() {
    // Handlers, open sheets and pending jobs hold the shell's objects, which
    // hold them in turn; let go of them so that everything is freed.
    jobs_.clear();
    for (auto& weak : windows_) {
        if (auto window = weak.lock()) window->sheets.clear();
    }
    for (auto& weak : controllers_) {
        if (auto controller = weak.lock()) controller->handlers.clear();
    }
}

std::vector<std::string> ScriptedPlatform::linesStartingWith(const std::string& prefix) const {
    std::vector<std::string> lines;
    for (const auto& line : transcript_) {
        if (line.rfind(prefix, 0) == 0) lines.push_back(line);
    }
    return lines;
}

std::vector<std::string> ScriptedPlatform::evaluatedScripts() const {
    std::vector<std::string> scripts;
    for (const auto& line : linesStartingWith("EVAL ")) scripts.push_back(line.substr(5));
    return scripts;
}

void ScriptedPlatform::launchApplication() {
    application_->delegate()->applicationDidFinishLaunching();
}

void ScriptedPlatform::closeMainWindow() {
    record("WINDOW_CLOSED");
    const auto delegate = application_->delegate();
    if (delegate->applicationShouldTerminateAfterLastWindowClosed()) {
        delegate->applicationWillTerminate();
        jobs_.clear();  // the process ends: pending jobs never run
    }
}

void ScriptedPlatform::advance(std::uint64_t nanoseconds) {
    const std::uint64_t target = now_ + nanoseconds;
    while (!jobs_.empty() && jobs_.begin()->first <= target) {
        auto job = std::move(jobs_.begin()->second);
        now_ = jobs_.begin()->first;
        jobs_.erase(jobs_.begin());
        job();
    }
    now_ = target;
}

ScriptedWindow& ScriptedPlatform::mainWindow() const {
    for (const auto& weak : windows_) {
        if (auto window = weak.lock()) return *window;
    }
    throw std::logic_error("no window");
}

ScriptedWebView& ScriptedPlatform::currentWebView() const {
    for (auto it = webViews_.rbegin(); it != webViews_.rend(); ++it) {
        if (auto view = it->lock()) return *view;
    }
    throw std::logic_error("no web view");
}

void ScriptedPlatform::postMessage(const std::string& name, const nlohmann::json& body) {
    auto& controller =
        static_cast<ScriptedUserContentController&>(*currentWebView().configuration().userContentController);
    if (auto it = controller.handlers.find(name); it != controller.handlers.end()) {
        auto handler = it->second;
        handler->userContentControllerDidReceiveScriptMessage(ScriptMessage{name, body});
    }
}

void ScriptedPlatform::failNavigation(bool provisional) {
    currentWebView().fail("page navigation failed", provisional);
}

void ScriptedPlatform::pageAlert(std::optional<std::string> message) {
    currentWebView().uiDelegate()->runJavaScriptAlertPanel(message,
                                                           [this] { record("PAGE alert returned"); });
}

void ScriptedPlatform::pageConfirm(std::optional<std::string> message) {
    currentWebView().uiDelegate()->runJavaScriptConfirmPanel(message, [this](bool confirmed) {
        record(std::string("PAGE confirm ") + (confirmed ? "true" : "false"));
    });
}

void ScriptedPlatform::pagePrompt(std::optional<std::string> prompt, std::optional<std::string> defaultText) {
    currentWebView().uiDelegate()->runJavaScriptTextInputPanel(
        prompt, defaultText, [this](std::optional<std::string> text) {
            record(text ? "PAGE prompt \"" + *text + "\"" : std::string("PAGE prompt null"));
        });
}

void ScriptedPlatform::exitProcess(std::size_t launchIndex) {
    processes_.at(launchIndex)->running = false;
}

const std::deque<Sheet>& ScriptedPlatform::sheets() const {
    return mainWindow().sheets;
}

Sheet ScriptedPlatform::takeSheet(std::size_t index, Sheet::Kind kind) {
    auto& sheets = mainWindow().sheets;
    if (index >= sheets.size() || sheets[index].kind != kind) throw std::logic_error("no such sheet open");
    Sheet sheet = std::move(sheets[index]);
    sheets.erase(sheets.begin() + static_cast<std::ptrdiff_t>(index));
    return sheet;
}

void ScriptedPlatform::answerOpenPanel(long response, std::vector<std::string> paths, std::size_t sheet) {
    takeSheet(sheet, Sheet::Kind::open).openCompletion(response, std::move(paths));
}

void ScriptedPlatform::answerSavePanel(long response, std::optional<std::string> path, std::size_t sheet) {
    takeSheet(sheet, Sheet::Kind::save).saveCompletion(response, std::move(path));
}

void ScriptedPlatform::answerAlert(long response, std::optional<std::string> fieldText, std::size_t sheet) {
    Sheet taken = takeSheet(sheet, Sheet::Kind::alert);
    std::string text =
        fieldText ? *fieldText
                  : (taken.alert.accessoryTextField ? taken.alert.accessoryTextField->stringValue : "");
    taken.alertCompletion(response, std::move(text));
}

Application& ScriptedPlatform::application() {
    return *application_;
}

std::shared_ptr<UserContentController> ScriptedPlatform::makeUserContentController() {
    record("USER_CONTENT_CONTROLLER");
    auto controller = std::make_shared<ScriptedUserContentController>(*this);
    controllers_.push_back(controller);
    return controller;
}

std::shared_ptr<WebView> ScriptedPlatform::makeWebView(const Rect& frame,
                                                       const WebViewConfiguration& configuration) {
    record("WEB_VIEW frame=" + rectText(frame) +
           " media=" + std::to_string(configuration.mediaTypesRequiringUserActionForPlayback));
    auto view = std::make_shared<ScriptedWebView>(*this, configuration);
    webViews_.push_back(view);
    return view;
}

std::shared_ptr<Window> ScriptedPlatform::makeWindow(const WindowOptions& options) {
    record("WINDOW " + rectText(options.contentRect) + " style=" + std::to_string(options.styleMask) +
           " backing=" + std::to_string(static_cast<int>(options.backing)) +
           " defer=" + (options.defer ? "1" : "0"));
    auto window = std::make_shared<ScriptedWindow>(*this);
    windows_.push_back(window);
    return window;
}

long ScriptedPlatform::runModalAlert(const AlertOptions& options) {
    record("MODAL_ALERT title=" + options.title +
           " style=" + std::to_string(static_cast<int>(options.style)) + " message=" + options.messageText +
           " informative=" + options.informativeText + " buttons=" + joined(options.buttons));
    advance(modalAlertDuration);
    record("MODAL_ALERT_DISMISSED at=" + clockText());
    return modalAlertResponse;
}

std::shared_ptr<Process> ScriptedPlatform::launch(const LaunchDescription& description) {
    std::string line = "LAUNCH " + description.executable;
    for (const auto& argument : description.arguments) line += " [" + argument + "]";
    if (description.discardOutput) line += " output=discarded";
    if (auto failure = launchFailures.find(description.executable); failure != launchFailures.end()) {
        record(line + " FAILED");
        throw LaunchError({"scripted", 0, failure->second});
    }
    record(line);
    launches_.push_back(description);
    auto process = std::make_shared<ScriptedProcess>(*this, description.executable);
    processes_.push_back(process);
    return process;
}

std::optional<std::string> ScriptedPlatform::pathForResource(const std::string& name,
                                                             const std::string& type) {
    const auto found = resources.find(type.empty() ? name : name + "." + type);
    if (found == resources.end()) return std::nullopt;
    return found->second;
}

void ScriptedPlatform::dispatchAfter(std::uint64_t nanoseconds, std::function<void()> job) {
    record("DISPATCH +" + seconds(nanoseconds) + " at=" + clockText());
    schedule(nanoseconds, std::move(job));
}

std::optional<FileError> ScriptedPlatform::writeTextFile(const std::string& path, const std::string& text) {
    record("WRITE " + path);
    if (fileAccessThrows) throw std::bad_alloc();
    return writeTextFileAtomically(path, text);
}

std::optional<FileError> ScriptedPlatform::readTextFile(const std::string& path, const TextPieces& take) {
    record("READ " + path);
    if (fileAccessThrows) throw std::bad_alloc();
    return readTextFileInPieces(path, take);
}

void ScriptedPlatform::record(std::string line) {
    transcript_.push_back(std::move(line));
}

void ScriptedPlatform::schedule(std::uint64_t nanoseconds, std::function<void()> job) {
    jobs_.emplace(now_ + nanoseconds, std::move(job));
}

std::string ScriptedPlatform::clockText() const {
    return seconds(now_);
}

}  // namespace jaunvel::scripted
