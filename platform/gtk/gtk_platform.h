// The GTK 3 + WebKitGTK backend: glue between the platform seam and the
// toolkit, with no policy of its own.
#pragma once

#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <memory>
#include <string>

#include "platform/gtk/gtk_guarded.h"
#include "platform/gtk/gtk_ptr.h"
#include "platform/platform.h"

namespace jaunvel::gtk {

class GtkApplicationObject;

// The shell's standard output and error as it was started with. For the whole
// run fds 1 and 2 point at /dev/null, so that neither GTK, WebKit nor the
// processes WebKit starts print anything; the originals are kept here,
// close-on-exec, for the processes the shell launches with their output.
// Made before gtk_init.
class ShellOutput {
public:
    ShellOutput();
    ~ShellOutput();
    ShellOutput(const ShellOutput&) = delete;
    ShellOutput& operator=(const ShellOutput&) = delete;

    // Points fds 1 and 2 back at the originals: the shell is not going to run.
    void restore() const;

    // A new close-on-exec descriptor for the original stdout or stderr, owned
    // by the caller; -1 if that one was closed at start or cannot be copied.
    int copyOfOutput() const;
    int copyOfError() const;

private:
    int output_;
    int error_;
};

std::shared_ptr<UserContentController> makeGtkUserContentController();
std::shared_ptr<WebView> makeGtkWebView(const WebViewConfiguration& configuration);
std::shared_ptr<Window> makeGtkWindow(const WindowOptions& options, GtkApplicationObject& application);
// Output that is not discarded goes to the originals kept in `shellOutput`.
std::shared_ptr<Process> launchGtkProcess(const LaunchDescription& description,
                                          const ShellOutput& shellOutput);
long runGtkModalAlert(const AlertOptions& options);

// The web view's widget, for the window that shows it.
GtkWidget* webViewWidget(WebView& view);

// Dialogs attached to `parent`: window-modal, asynchronous, destroyed when answered.
void showGtkOpenPanel(GtkWindow* parent, const OpenPanelOptions& options, OpenPanelCompletion completion);
void showGtkSavePanel(GtkWindow* parent, const SavePanelOptions& options, SavePanelCompletion completion);
void showGtkAlertSheet(GtkWindow* parent, const AlertOptions& options, AlertCompletion completion);

class GtkApplicationObject final : public Application {
public:
    void setDelegate(std::weak_ptr<ApplicationDelegate> delegate) override {
        delegate_ = std::move(delegate);
    }
    // No Dock or menu bar to change on this desktop: the requests have no effect.
    void setActivationPolicy(ActivationPolicy) override {}
    void setPresentationOptions(unsigned long) override {}
    void activateIgnoringOtherApps(bool) override;
    void run() override;

    // The user closed a window of ours.
    bool windowShouldClose();
    void windowMadeKey(GtkWindow* window) { keyWindow_ = window; }
    // Runs the shutdown sequence once and leaves the event loop.
    void terminate();

private:
    std::weak_ptr<ApplicationDelegate> delegate_;
    GtkWindow* keyWindow_ = nullptr;
    bool terminating_ = false;
};

}  // namespace jaunvel::gtk
