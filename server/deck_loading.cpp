// Loading the deck page, and loading it again one second after every failed
// navigation, so the page appears soon after the server starts answering.
#include "app/app_delegate.h"
#include "server/server_launch.h"

namespace jaunvel {

namespace {
constexpr std::uint64_t kReloadDelay = 1'000'000'000;
}

URLRequest deckPageRequest() {
    return URLRequest{std::string("http://localhost:") + kServerPort,
                      CachePolicy::reloadIgnoringLocalCacheData, 5.0};
}

void AppDelegate::loadDeck() {
    if (const auto view = webView()) view->loadRequest(deckPageRequest());
}

void AppDelegate::webViewDidFailNavigation(const NavigationError&) {
    scheduleLoadDeck(kReloadDelay);
}

void AppDelegate::webViewDidFailProvisionalNavigation(const NavigationError&) {
    scheduleLoadDeck(kReloadDelay);
}

void AppDelegate::scheduleLoadDeck(std::uint64_t nanoseconds) {
    platform_.dispatchAfter(nanoseconds, [self = shared_from_this()] { self->loadDeck(); });
}

}  // namespace jaunvel
