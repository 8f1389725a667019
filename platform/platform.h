// The narrow seam between the shell and its desktop: every toolkit, web engine,
// process and timer service the shell uses, as small interfaces of our own.
// No toolkit type crosses it; backends (GTK, scripted) implement it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace jaunvel {

struct Rect {
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;
    friend bool operator==(const Rect&, const Rect&) = default;
};

struct Screen {
    Rect frame;
    Rect visibleFrame;
};

using Environment = std::map<std::string, std::string>;

// ---- Delegate roles the shell takes toward the platform ----

class ApplicationDelegate {
public:
    virtual ~ApplicationDelegate() = default;
    virtual void applicationDidFinishLaunching() = 0;
    virtual bool applicationShouldTerminateAfterLastWindowClosed() = 0;
    virtual void applicationWillTerminate() = 0;
};

// A failure the platform reports: the toolkit's error domain and code, kept
// as they came, and a human-readable description. The shell acts on the
// description at most; the rest is for diagnostics and tests.
struct PlatformError {
    std::string domain;
    int code = 0;
    std::string description;
};

// What the web view reports about a failed navigation.
using NavigationError = PlatformError;

class NavigationDelegate {
public:
    virtual ~NavigationDelegate() = default;
    // Content had begun to arrive when the navigation failed.
    virtual void webViewDidFailNavigation(const NavigationError& error) = 0;
    // The navigation failed before any content arrived (unreachable, refused,
    // timed out, cancelled).
    virtual void webViewDidFailProvisionalNavigation(const NavigationError& error) = 0;
};

class UIDelegate {
public:
    virtual ~UIDelegate() = default;
    virtual void runJavaScriptAlertPanel(const std::optional<std::string>& message,
                                         std::function<void()> completionHandler) = 0;
    virtual void runJavaScriptConfirmPanel(const std::optional<std::string>& message,
                                           std::function<void(bool)> completionHandler) = 0;
    // The page receives null when the handler is given no value.
    virtual void runJavaScriptTextInputPanel(
        const std::optional<std::string>& prompt, const std::optional<std::string>& defaultText,
        std::function<void(std::optional<std::string>)> completionHandler) = 0;
};

// A bridge message: the channel it was posted on and the posted value.
// Strings in `body` carry the page's text as UTF-8; a page text that has no
// UTF-8 form (an unpaired surrogate) arrives as bytes that are not valid UTF-8.
struct ScriptMessage {
    std::string name;
    nlohmann::json body;
};

class ScriptMessageHandler {
public:
    virtual ~ScriptMessageHandler() = default;
    virtual void userContentControllerDidReceiveScriptMessage(const ScriptMessage& message) = 0;
};

// ---- Application object ----

enum class ActivationPolicy { regular = 0 };

namespace presentation {
inline constexpr unsigned long defaultOptions = 0;
inline constexpr unsigned long autoHideDock = 1;
inline constexpr unsigned long autoHideMenuBar = 4;
inline constexpr unsigned long disableMenuBarTransparency = 512;
}  // namespace presentation

class Application {
public:
    virtual ~Application() = default;
    // The application does not own its delegate.
    virtual void setDelegate(std::weak_ptr<ApplicationDelegate> delegate) = 0;
    virtual void setActivationPolicy(ActivationPolicy policy) = 0;
    virtual void setPresentationOptions(unsigned long options) = 0;
    virtual void activateIgnoringOtherApps(bool flag) = 0;
    // Runs the event loop: launching ends in applicationDidFinishLaunching;
    // closing the last window or a request to quit ends in
    // applicationWillTerminate, after which run returns.
    virtual void run() = 0;
};

// ---- Web view ----

class UserContentController {
public:
    virtual ~UserContentController() = default;
    // The controller holds the handler strongly until the name is removed.
    virtual void addScriptMessageHandler(std::shared_ptr<ScriptMessageHandler> handler,
                                         const std::string& name) = 0;
    virtual void removeScriptMessageHandlerForName(const std::string& name) = 0;
};

namespace media_types {
inline constexpr unsigned none = 0;
inline constexpr unsigned all = ~0u;
}  // namespace media_types

struct WebViewConfiguration {
    std::shared_ptr<UserContentController> userContentController;
    unsigned mediaTypesRequiringUserActionForPlayback = media_types::all;
};

enum class CachePolicy { reloadIgnoringLocalCacheData = 1 };

struct URLRequest {
    std::string url;
    CachePolicy cachePolicy = CachePolicy::reloadIgnoringLocalCacheData;
    double timeoutInterval = 60.0;  // seconds
};

class WebView {
public:
    virtual ~WebView() = default;
    virtual const WebViewConfiguration& configuration() const = 0;
    // Delegates are not owned by the web view.
    virtual void setNavigationDelegate(std::weak_ptr<NavigationDelegate> delegate) = 0;
    virtual void setUIDelegate(std::weak_ptr<UIDelegate> delegate) = 0;
    // A new load replaces whatever the view shows or is still loading.
    virtual void loadRequest(const URLRequest& request) = 0;
    // Fire and forget: the result and any script error are discarded.
    virtual void evaluateJavaScript(std::string script) = 0;
};

// ---- Window, sheets and alerts ----

namespace window_style {
inline constexpr unsigned titled = 1;
inline constexpr unsigned closable = 2;
inline constexpr unsigned miniaturizable = 4;
inline constexpr unsigned resizable = 8;
}  // namespace window_style

enum class BackingStore { buffered = 2 };

struct WindowOptions {
    Rect contentRect;
    unsigned styleMask = 0;
    BackingStore backing = BackingStore::buffered;
    bool defer = false;
};

// Responses a sheet ends with.
namespace modal_response {
inline constexpr long cancel = 0;
inline constexpr long ok = 1;               // open and save dialogs
inline constexpr long firstButton = 1000;   // alerts
inline constexpr long secondButton = 1001;  // alerts
}  // namespace modal_response

// Every text a dialog shows is given by the shell; backends add none.
struct OpenPanelOptions {
    bool canChooseFiles = true;
    bool canChooseDirectories = false;
    bool allowsMultipleSelection = false;
    std::string title;                          // the dialog window's title
    std::string prompt;                         // title of the confirming button
    std::string cancelTitle;                    // title of the cancelling button
    std::string message;                        // instruction line shown in the dialog
    std::vector<std::string> allowedFileTypes;  // extensions; empty = any
};

// What a save dialog asks before a confirmed name replaces an existing file:
// messageBeforeName + the file's name + messageAfterName, and two buttons.
struct ReplaceQuestion {
    std::string messageBeforeName;
    std::string messageAfterName;
    std::string informativeText;
    std::string cancelTitle;
    std::string replaceTitle;
};

struct SavePanelOptions {
    std::string title;
    std::string prompt;
    std::string cancelTitle;
    std::string message;
    std::string nameFieldStringValue;
    std::vector<std::string> allowedFileTypes;  // the first is added to a name confirmed without one
    ReplaceQuestion replaceQuestion;
};

enum class AlertStyle { warning = 0, critical = 2 };

struct AlertTextField {
    Rect frame;
    std::string stringValue;
};

struct AlertOptions {
    std::string title;            // the dialog window's title
    std::string messageText;      // the bold first line
    std::string informativeText;  // the text below it
    AlertStyle style = AlertStyle::warning;
    std::vector<std::string> buttons;  // titles, first button first
    std::optional<AlertTextField> accessoryTextField;
};

// Chosen locations are absolute file-system paths.
using OpenPanelCompletion = std::function<void(long response, std::vector<std::string> paths)>;
using SavePanelCompletion = std::function<void(long response, std::optional<std::string> path)>;
// `fieldText` is the accessory text field's value when the sheet ended.
using AlertCompletion = std::function<void(long response, std::string fieldText)>;

class Window {
public:
    virtual ~Window() = default;
    virtual void setTitle(const std::string& title) = 0;
    // The view fills the content area and follows the window's size.
    virtual void setContentView(std::shared_ptr<WebView> view) = 0;
    virtual void makeKeyAndOrderFront() = 0;
    // Sheets: modal for this window only; each returns at once and calls its
    // completion once, on the main thread, when the user has acted.
    virtual void beginOpenPanel(const OpenPanelOptions& options, OpenPanelCompletion completion) = 0;
    virtual void beginSavePanel(const SavePanelOptions& options, SavePanelCompletion completion) = 0;
    virtual void beginAlertSheet(const AlertOptions& options, AlertCompletion completion) = 0;
};

// ---- Processes ----

struct LaunchDescription {
    std::string executable;                  // absolute path, not searched for
    std::vector<std::string> arguments;      // argv[1..]
    std::optional<Environment> environment;  // none: the shell's own
    bool discardOutput = false;              // stdout and stderr go nowhere instead of the shell's own
};

// A launch that could not start the process; what() is the description.
class LaunchError : public std::runtime_error {
public:
    explicit LaunchError(PlatformError error)
        : std::runtime_error(error.description), error_(std::move(error)) {}
    const PlatformError& error() const noexcept { return error_; }

private:
    PlatformError error_;
};

class Process {
public:
    virtual ~Process() = default;
    virtual bool isRunning() const = 0;
    // Sends the terminate signal; does not wait.
    virtual void terminate() = 0;
};

// ---- Text files ----

struct FileError {
    std::string localizedDescription;  // human-readable, Japanese; may be empty
};

// Takes a text file a piece at a time, in order: each piece is valid UTF-8
// and ends on a character boundary; `fileSize` is the whole file's size.
using TextPieces = std::function<void(std::string_view piece, std::size_t fileSize)>;

// ---- The platform as a whole ----

class Platform {
public:
    virtual ~Platform() = default;

    virtual Application& application() = 0;

    // Screens: the main screen and the list of all screens, primary first.
    virtual std::optional<Screen> mainScreen() = 0;
    virtual std::vector<Screen> screens() = 0;

    virtual std::shared_ptr<UserContentController> makeUserContentController() = 0;
    virtual std::shared_ptr<WebView> makeWebView(const Rect& frame,
                                                 const WebViewConfiguration& configuration) = 0;
    virtual std::shared_ptr<Window> makeWindow(const WindowOptions& options) = 0;

    // An application-modal alert: returns when the user has dismissed it.
    virtual long runModalAlert(const AlertOptions& options) = 0;

    // Throws LaunchError when the process cannot be started.
    virtual std::shared_ptr<Process> launch(const LaunchDescription& description) = 0;

    // Absolute path of a resource of the application, by name and type
    // (extension; empty for none).
    virtual std::optional<std::string> pathForResource(const std::string& name, const std::string& type) = 0;

    virtual Environment processEnvironment() = 0;

    // One-shot job on the main queue, due `nanoseconds` after now.
    virtual void dispatchAfter(std::uint64_t nanoseconds, std::function<void()> job) = 0;

    // Writes the text atomically: a failed write leaves a file already there as it was.
    virtual std::optional<FileError> writeTextFile(const std::string& path, const std::string& text) = 0;
    // Reads the whole file as UTF-8, handing it to `take` a piece at a time as
    // each is checked; after a failure, what was handed over is to be dropped.
    virtual std::optional<FileError> readTextFile(const std::string& path, const TextPieces& take) = 0;
};

// The backend chosen at build time; none when its toolkit cannot start (no
// display to show a window on), with the toolkit's reason in `failure`.
struct PlatformStart {
    std::unique_ptr<Platform> platform;
    std::string failure;
};
PlatformStart makePlatform(int& argc, char** argv);

}  // namespace jaunvel
