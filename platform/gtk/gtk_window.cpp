// The main window: a GtkWindow whose content is the web view, with sheets.
#include <cmath>

#include "platform/gtk/gtk_platform.h"

namespace jaunvel::gtk {
namespace {

class GtkMainWindow final : public Window {
public:
    GtkMainWindow(const WindowOptions& options, GtkApplicationObject& application)
        : application_(application), window_(retain(gtk_window_new(GTK_WINDOW_TOPLEVEL))) {
        GtkWindow* window = GTK_WINDOW(window_.get());
        // GTK places whole pixels: round the computed rectangle once, here.
        const auto rounded = [](double value) { return static_cast<int>(std::lround(value)); };
        gtk_window_set_default_size(window, rounded(options.contentRect.width),
                                    rounded(options.contentRect.height));
        gtk_window_set_gravity(window, GDK_GRAVITY_STATIC);  // the position is the content area's
        gtk_window_move(window, rounded(options.contentRect.x), rounded(options.contentRect.y));
        gtk_window_set_resizable(window, (options.styleMask & window_style::resizable) != 0);
        gtk_window_set_deletable(window, (options.styleMask & window_style::closable) != 0);
        gtk_window_set_decorated(window, (options.styleMask & window_style::titled) != 0);
        g_signal_connect(window, "delete-event", G_CALLBACK(onDelete), this);
    }

    ~GtkMainWindow() override { g_signal_handlers_disconnect_by_data(window_.get(), this); }

    void setTitle(const std::string& title) override {
        gtk_window_set_title(GTK_WINDOW(window_.get()), title.c_str());
    }

    void setContentView(std::shared_ptr<WebView> view) override {
        if (GtkWidget* child = gtk_bin_get_child(GTK_BIN(window_.get()))) {
            gtk_container_remove(GTK_CONTAINER(window_.get()), child);
        }
        contentView_ = std::move(view);
        if (contentView_) gtk_container_add(GTK_CONTAINER(window_.get()), webViewWidget(*contentView_));
    }

    void makeKeyAndOrderFront() override {
        gtk_widget_show_all(window_.get());
        gtk_window_present(GTK_WINDOW(window_.get()));
        application_.windowMadeKey(GTK_WINDOW(window_.get()));
    }

    void beginOpenPanel(const OpenPanelOptions& options, OpenPanelCompletion completion) override {
        showGtkOpenPanel(GTK_WINDOW(window_.get()), options, std::move(completion));
    }
    void beginSavePanel(const SavePanelOptions& options, SavePanelCompletion completion) override {
        showGtkSavePanel(GTK_WINDOW(window_.get()), options, std::move(completion));
    }
    void beginAlertSheet(const AlertOptions& options, AlertCompletion completion) override {
        showGtkAlertSheet(GTK_WINDOW(window_.get()), options, std::move(completion));
    }

private:
    static gboolean onDelete(GtkWidget*, GdkEvent*, gpointer data) {
        auto& self = *static_cast<GtkMainWindow*>(data);
        // The application quits with its last window; the window itself stays
        // until the process ends.
        return self.application_.windowShouldClose() ? TRUE : FALSE;
    }

    GtkApplicationObject& application_;
    g_object_ptr<GtkWidget> window_;
    std::shared_ptr<WebView> contentView_;
};

}  // namespace

std::shared_ptr<Window> makeGtkWindow(const WindowOptions& options, GtkApplicationObject& application) {
    return std::make_shared<GtkMainWindow>(options, application);
}

}  // namespace jaunvel::gtk
