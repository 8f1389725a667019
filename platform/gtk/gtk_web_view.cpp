// WebKitGTK web view: bridge channels, loads that always end in exactly one
// outcome, script evaluation and the page's script dialogs.
#include <libsoup/soup.h>

#include <cmath>
#include <map>

#include "platform/gtk/gtk_error.h"
#include "platform/gtk/gtk_jsc_json.h"
#include "platform/gtk/gtk_platform.h"

namespace jaunvel::gtk {
namespace {

class GtkUserContentController;

struct Channel {
    GtkUserContentController* controller;
    std::string name;
    std::shared_ptr<ScriptMessageHandler> handler;
    gulong signalId = 0;
};

class GtkUserContentController final : public UserContentController {
public:
    GtkUserContentController() : manager_(adopt(webkit_user_content_manager_new())) {}
    ~GtkUserContentController() override {
        for (auto& [name, channel] : channels_)
            g_signal_handler_disconnect(manager_.get(), channel->signalId);
    }

    void addScriptMessageHandler(std::shared_ptr<ScriptMessageHandler> handler,
                                 const std::string& name) override {
        if (channels_.count(name)) return;
        auto channel = std::make_unique<Channel>(Channel{this, name, std::move(handler)});
        // Connect before registering, so that no message can arrive unheard.
        channel->signalId = g_signal_connect(manager_.get(), ("script-message-received::" + name).c_str(),
                                             G_CALLBACK(onMessage), channel.get());
        webkit_user_content_manager_register_script_message_handler(manager_.get(), name.c_str());
        channels_.emplace(name, std::move(channel));
    }

    void removeScriptMessageHandlerForName(const std::string& name) override {
        const auto found = channels_.find(name);
        if (found == channels_.end()) return;
        webkit_user_content_manager_unregister_script_message_handler(manager_.get(), name.c_str());
        g_signal_handler_disconnect(manager_.get(), found->second->signalId);
        channels_.erase(found);
    }

    WebKitUserContentManager* manager() const { return manager_.get(); }

private:
    static void onMessage(WebKitUserContentManager*, WebKitJavascriptResult* result, gpointer data) {
        const auto* channel = static_cast<Channel*>(data);
        guarded([&] {
            // JSON keeps what a plain string conversion would cut short (a NUL,
            // an unpaired surrogate); a value JSON cannot hold arrives as null.
            JSCValue* value = webkit_javascript_result_get_js_value(result);
            g_str_ptr json(jsc_value_to_json(value, 0));
            ScriptMessage message{channel->name,
                                  json ? messageBodyFromJscJson(json.get()) : nlohmann::json()};
            auto handler = channel->handler;  // the handler may remove its channel
            handler->userContentControllerDidReceiveScriptMessage(message);
        });
    }

    g_object_ptr<WebKitUserContentManager> manager_;
    std::map<std::string, std::unique_ptr<Channel>> channels_;
};

// Where the current load stands. A load replaced before it started may vanish
// without any signal from WebKit, so the view reports that failure itself;
// when WebKit's own report of its cancellation comes after all (its signals
// were only late), that one is dropped: every load fails at most once, and a
// chain of reloads never splits in two.
enum class LoadState { idle, requested, started, committed };

class GtkWebView final : public WebView {
public:
    explicit GtkWebView(const WebViewConfiguration& configuration) : configuration_(configuration) {
        WebKitWebContext* context = webkit_web_context_get_default();
        webkit_web_context_set_cache_model(context, WEBKIT_CACHE_MODEL_DOCUMENT_VIEWER);
        const bool autoplay = configuration.mediaTypesRequiringUserActionForPlayback == media_types::none;
        // Policies can only be given at construction.
        auto* policies = webkit_website_policies_new_with_policies(
            "autoplay", autoplay ? WEBKIT_AUTOPLAY_ALLOW : WEBKIT_AUTOPLAY_DENY, nullptr);
        auto* controller = static_cast<GtkUserContentController*>(configuration.userContentController.get());
        view_ = retain(
            GTK_WIDGET(g_object_new(WEBKIT_TYPE_WEB_VIEW, "web-context", context, "user-content-manager",
                                    controller->manager(), "website-policies", policies, nullptr)));
        g_object_unref(policies);
        g_signal_connect(view_.get(), "load-changed", G_CALLBACK(onLoadChanged), this);
        g_signal_connect(view_.get(), "load-failed", G_CALLBACK(onLoadFailed), this);
        g_signal_connect(view_.get(), "web-process-terminated", G_CALLBACK(onProcessTerminated), this);
        g_signal_connect(view_.get(), "script-dialog", G_CALLBACK(onScriptDialog), this);
    }

    ~GtkWebView() override {
        disarmTimeout();
        g_signal_handlers_disconnect_by_data(view_.get(), this);
        if (pendingReport_) g_source_remove(pendingReport_);
    }

    const WebViewConfiguration& configuration() const override { return configuration_; }
    void setNavigationDelegate(std::weak_ptr<NavigationDelegate> delegate) override {
        navigationDelegate_ = std::move(delegate);
    }
    void setUIDelegate(std::weak_ptr<UIDelegate> delegate) override { uiDelegate_ = std::move(delegate); }

    void loadRequest(const URLRequest& request) override {
        if (state_ == LoadState::requested) {
            ++vanishedLoads_;
            ++reportedCancellations_;
        }
        if (vanishedLoads_ && !pendingReport_) {
            pendingReport_ = g_idle_add(reportVanishedLoads, this);
        }
        g_object_ptr<WebKitURIRequest> uriRequest = adopt(webkit_uri_request_new(request.url.c_str()));
        if (request.cachePolicy == CachePolicy::reloadIgnoringLocalCacheData) {
            if (SoupMessageHeaders* headers = webkit_uri_request_get_http_headers(uriRequest.get())) {
                soup_message_headers_replace(headers, "Cache-Control", "no-cache");
                soup_message_headers_replace(headers, "Pragma", "no-cache");
            }
        }
        disarmTimeout();
        state_ = LoadState::requested;
        webkit_web_view_load_request(WEBKIT_WEB_VIEW(view_.get()), uriRequest.get());
        // WebKit never gives up on a server that accepts and stays silent.
        timeout_ = g_timeout_add_full(G_PRIORITY_DEFAULT,
                                      static_cast<guint>(std::ceil(request.timeoutInterval * 1000)),
                                      onTimeout, this, nullptr);
    }

    void evaluateJavaScript(std::string script) override {
        webkit_web_view_evaluate_javascript(WEBKIT_WEB_VIEW(view_.get()), script.data(),
                                            static_cast<gssize>(script.size()), nullptr, nullptr, nullptr,
                                            nullptr, nullptr);
    }

    GtkWidget* widget() const { return view_.get(); }

private:
    void disarmTimeout() {
        if (timeout_) g_source_remove(timeout_);
        timeout_ = 0;
    }

    void reportFailure(bool provisional, const NavigationError& error) {
        guarded([&] {
            auto delegate = navigationDelegate_.lock();
            if (!delegate) return;
            if (provisional) {
                delegate->webViewDidFailProvisionalNavigation(error);
            } else {
                delegate->webViewDidFailNavigation(error);
            }
        });
    }

    static gboolean reportVanishedLoads(gpointer data) {
        auto& self = *static_cast<GtkWebView*>(data);
        self.pendingReport_ = 0;
        for (; self.vanishedLoads_ > 0; --self.vanishedLoads_)
            self.reportFailure(true, platformError(nullptr, "replaced before it started"));
        return G_SOURCE_REMOVE;
    }

    static void onLoadChanged(WebKitWebView*, WebKitLoadEvent event, gpointer data) {
        auto& self = *static_cast<GtkWebView*>(data);
        switch (event) {
            case WEBKIT_LOAD_STARTED:
                self.state_ = LoadState::started;
                break;
            case WEBKIT_LOAD_REDIRECTED:
                break;
            case WEBKIT_LOAD_COMMITTED:
                self.state_ = LoadState::committed;
                self.disarmTimeout();
                // Whatever WebKit had to say about earlier loads it said before this.
                self.reportedCancellations_ = 0;
                break;
            case WEBKIT_LOAD_FINISHED:
                // A finish that follows the failure of a load already replaced
                // belongs to that load, not to the one still requested.
                if (self.state_ != LoadState::requested) {
                    self.state_ = LoadState::idle;
                    self.disarmTimeout();
                }
                break;
        }
    }

    static gboolean onLoadFailed(WebKitWebView*, WebKitLoadEvent event, gchar*, GError* error,
                                 gpointer data) {
        auto& self = *static_cast<GtkWebView*>(data);
        if (self.reportedCancellations_ > 0 &&
            g_error_matches(error, WEBKIT_NETWORK_ERROR, WEBKIT_NETWORK_ERROR_CANCELLED)) {
            --self.reportedCancellations_;  // a replaced load, already reported
            return TRUE;
        }
        if (self.state_ != LoadState::requested) {
            self.state_ = LoadState::idle;
            self.disarmTimeout();
        }
        self.reportFailure(event != WEBKIT_LOAD_COMMITTED, platformError(error, "load failed"));
        return TRUE;  // never WebKit's own error page
    }

    static void onProcessTerminated(WebKitWebView*, WebKitWebProcessTerminationReason, gpointer data) {
        auto& self = *static_cast<GtkWebView*>(data);
        if (self.state_ == LoadState::idle) return;
        const bool provisional = self.state_ != LoadState::committed;
        self.state_ = LoadState::idle;
        self.disarmTimeout();
        self.reportFailure(provisional, platformError(nullptr, "web process terminated"));
    }

    static gboolean onTimeout(gpointer data) {
        auto& self = *static_cast<GtkWebView*>(data);
        self.timeout_ = 0;
        if (self.state_ == LoadState::requested || self.state_ == LoadState::started) {
            // Reported here, like a replaced load: a cancellation that the
            // stop makes WebKit report (once it has started) is dropped.
            self.state_ = LoadState::idle;
            ++self.reportedCancellations_;
            webkit_web_view_stop_loading(WEBKIT_WEB_VIEW(self.view_.get()));
            self.reportFailure(true, platformError(nullptr, "timed out"));
        }
        return G_SOURCE_REMOVE;
    }

    static gboolean onScriptDialog(WebKitWebView*, WebKitScriptDialog* dialog, gpointer data) {
        auto& self = *static_cast<GtkWebView*>(data);
        auto delegate = self.uiDelegate_.lock();
        const auto type = webkit_script_dialog_get_dialog_type(dialog);
        if (type == WEBKIT_SCRIPT_DIALOG_BEFORE_UNLOAD_CONFIRM) {
            webkit_script_dialog_confirm_set_confirmed(dialog, TRUE);  // leaving is never held up
            return TRUE;
        }
        if (!delegate) return FALSE;
        webkit_script_dialog_ref(dialog);
        // Ends the page's call exactly once, however the answer comes.
        auto finish = std::shared_ptr<WebKitScriptDialog>(dialog, [](WebKitScriptDialog* d) {
            webkit_script_dialog_close(d);
            webkit_script_dialog_unref(d);
        });
        const char* text = webkit_script_dialog_get_message(dialog);
        const std::optional<std::string> message = text ? std::optional<std::string>(text) : std::nullopt;
        guarded([&] {
            switch (type) {
                case WEBKIT_SCRIPT_DIALOG_ALERT:
                    delegate->runJavaScriptAlertPanel(message, [finish] {});
                    break;
                case WEBKIT_SCRIPT_DIALOG_CONFIRM:
                    delegate->runJavaScriptConfirmPanel(message, [finish](bool confirmed) {
                        webkit_script_dialog_confirm_set_confirmed(finish.get(), confirmed);
                    });
                    break;
                case WEBKIT_SCRIPT_DIALOG_PROMPT: {
                    const char* initial = webkit_script_dialog_prompt_get_default_text(dialog);
                    delegate->runJavaScriptTextInputPanel(
                        message, initial ? std::optional<std::string>(initial) : std::nullopt,
                        [finish](std::optional<std::string> answer) {
                            // Without an answer the page's prompt returns null.
                            if (answer) webkit_script_dialog_prompt_set_text(finish.get(), answer->c_str());
                        });
                    break;
                }
                default:
                    break;
            }
        });
        return TRUE;
    }

    WebViewConfiguration configuration_;
    g_object_ptr<GtkWidget> view_;
    std::weak_ptr<NavigationDelegate> navigationDelegate_;
    std::weak_ptr<UIDelegate> uiDelegate_;
    LoadState state_ = LoadState::idle;
    int vanishedLoads_ = 0;
    int reportedCancellations_ = 0;
    guint pendingReport_ = 0;
    guint timeout_ = 0;
};

}  // namespace

std::shared_ptr<UserContentController> makeGtkUserContentController() {
    return std::make_shared<GtkUserContentController>();
}

std::shared_ptr<WebView> makeGtkWebView(const WebViewConfiguration& configuration) {
    return std::make_shared<GtkWebView>(configuration);
}

GtkWidget* webViewWidget(WebView& view) {
    return static_cast<GtkWebView&>(view).widget();
}

}  // namespace jaunvel::gtk
