// The GTK platform: application object and event loop, screens, resources,
// environment, main-loop timers and text files.
#include "platform/gtk/gtk_platform.h"

#include <glib-unix.h>
#include <sys/stat.h>

#include <climits>
#include <cmath>
#include <cstdlib>

#include "platform/text_files.h"

namespace jaunvel::gtk {

void GtkApplicationObject::activateIgnoringOtherApps(bool) {
    if (keyWindow_) gtk_window_present(keyWindow_);
}

void GtkApplicationObject::run() {
    // Launching is complete once the loop runs.
    g_idle_add_full(
        G_PRIORITY_HIGH_IDLE,
        [](gpointer self) -> gboolean {
            auto& app = *static_cast<GtkApplicationObject*>(self);
            guarded([&] {
                if (auto delegate = app.delegate_.lock()) delegate->applicationDidFinishLaunching();
            });
            return G_SOURCE_REMOVE;
        },
        this, nullptr);
    // A logout or a kill asks the application to quit, like closing its window.
    for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
        g_unix_signal_add(
            signal,
            [](gpointer self) -> gboolean {
                static_cast<GtkApplicationObject*>(self)->terminate();
                return G_SOURCE_CONTINUE;
            },
            this);
    }
    gtk_main();
}

bool GtkApplicationObject::windowShouldClose() {
    bool quit = false;
    guarded([&] {
        if (auto delegate = delegate_.lock())
            quit = delegate->applicationShouldTerminateAfterLastWindowClosed();
    });
    if (quit) terminate();
    return quit;
}

void GtkApplicationObject::terminate() {
    if (terminating_) return;
    terminating_ = true;
    guarded([&] {
        if (auto delegate = delegate_.lock()) delegate->applicationWillTerminate();
    });
    gtk_main_quit();
}

namespace {

Rect toRect(const GdkRectangle& r) {
    return Rect{static_cast<double>(r.x), static_cast<double>(r.y), static_cast<double>(r.width),
                static_cast<double>(r.height)};
}

Screen screenOf(GdkMonitor* monitor) {
    GdkRectangle frame{};
    GdkRectangle workarea{};
    gdk_monitor_get_geometry(monitor, &frame);
    gdk_monitor_get_workarea(monitor, &workarea);
    return Screen{toRect(frame), toRect(workarea)};
}

GdkMonitor* primaryMonitor(GdkDisplay* display) {
    if (!display) return nullptr;
    if (GdkMonitor* primary = gdk_display_get_primary_monitor(display)) return primary;
    return gdk_display_get_monitor(display, 0);
}

// <directory of the executable>/../share/jaunvel
std::string resourceFolder() {
    char exe[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (length <= 0) return {};
    std::string folder(exe, static_cast<std::size_t>(length));
    folder = folder.substr(0, folder.find_last_of('/')) + "/../share/jaunvel";
    char resolved[PATH_MAX];
    return realpath(folder.c_str(), resolved) ? std::string(resolved) : std::string();
}

class GtkPlatform final : public Platform {
public:
    // GTK has started, with the terminal already silenced by `output`.
    explicit GtkPlatform(std::unique_ptr<ShellOutput> output)
        : shellOutput_(std::move(output)), resources_(resourceFolder()) {
        // The shell keeps no state between runs, not even recent files.
        g_object_set(gtk_settings_get_default(), "gtk-recent-files-enabled", FALSE, nullptr);
    }

    Application& application() override { return application_; }

    std::optional<Screen> mainScreen() override {
        GdkMonitor* monitor = primaryMonitor(gdk_display_get_default());
        if (!monitor) return std::nullopt;
        return screenOf(monitor);
    }

    std::vector<Screen> screens() override {
        std::vector<Screen> list;
        GdkDisplay* display = gdk_display_get_default();
        if (!display) return list;
        GdkMonitor* primary = primaryMonitor(display);
        if (primary) list.push_back(screenOf(primary));
        for (int i = 0; i < gdk_display_get_n_monitors(display); ++i) {
            GdkMonitor* monitor = gdk_display_get_monitor(display, i);
            if (monitor != primary) list.push_back(screenOf(monitor));
        }
        return list;
    }

    std::shared_ptr<UserContentController> makeUserContentController() override {
        return makeGtkUserContentController();
    }
    std::shared_ptr<WebView> makeWebView(const Rect&, const WebViewConfiguration& configuration) override {
        return makeGtkWebView(configuration);
    }
    std::shared_ptr<Window> makeWindow(const WindowOptions& options) override {
        return makeGtkWindow(options, application_);
    }
    long runModalAlert(const AlertOptions& options) override { return runGtkModalAlert(options); }
    std::shared_ptr<Process> launch(const LaunchDescription& description) override {
        return launchGtkProcess(description, *shellOutput_);
    }

    std::optional<std::string> pathForResource(const std::string& name, const std::string& type) override {
        if (resources_.empty()) return std::nullopt;
        const std::string path = resources_ + "/" + name + (type.empty() ? "" : "." + type);
        struct stat info {};
        if (stat(path.c_str(), &info) != 0) return std::nullopt;
        return path;
    }

    Environment processEnvironment() override {
        Environment environment;
        g_strv_ptr entries(g_get_environ());
        for (gchar** entry = entries.get(); *entry; ++entry) {
            const std::string text(*entry);
            const auto equals = text.find('=');
            if (equals != std::string::npos)
                environment.emplace(text.substr(0, equals), text.substr(equals + 1));
        }
        return environment;
    }

    void dispatchAfter(std::uint64_t nanoseconds, std::function<void()> job) override {
        // Rounded up, never early; g_timeout_add_seconds would coalesce and fire late.
        const auto milliseconds = static_cast<guint>((nanoseconds + 999'999) / 1'000'000);
        g_timeout_add_full(
            G_PRIORITY_DEFAULT, milliseconds,
            [](gpointer data) -> gboolean {
                guarded([&] { (*static_cast<std::function<void()>*>(data))(); });
                return G_SOURCE_REMOVE;
            },
            new std::function<void()>(std::move(job)),
            [](gpointer data) { delete static_cast<std::function<void()>*>(data); });
    }

    std::optional<FileError> writeTextFile(const std::string& path, const std::string& text) override {
        return writeTextFileAtomically(path, text);
    }
    std::optional<FileError> readTextFile(const std::string& path, const TextPieces& take) override {
        return readTextFileInPieces(path, take);
    }

private:
    std::unique_ptr<ShellOutput> shellOutput_;
    std::string resources_;
    GtkApplicationObject application_;
};

}  // namespace
}  // namespace jaunvel::gtk

namespace jaunvel {
PlatformStart makePlatform(int& argc, char** argv) {
    // The terminal is silenced before GTK can print to it.
    auto output = std::make_unique<gtk::ShellOutput>();
    if (!gtk_init_check(&argc, &argv)) {
        output->restore();
        // In GTK's own words, as gtk_init would have printed them.
        const char* display = gdk_get_display_arg_name();
        if (!display) display = g_getenv("DISPLAY");
        return {nullptr, std::string("cannot open display: ") + (display ? display : "")};
    }
    return {std::make_unique<gtk::GtkPlatform>(std::move(output)), {}};
}
}  // namespace jaunvel
