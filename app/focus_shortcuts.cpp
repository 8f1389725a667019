// The user's Focus shortcuts, run fire and forget through the Shortcuts tool.
#include "app/app_delegate.h"

namespace jaunvel {

void AppDelegate::runShortcutIfAvailable(const std::string& name) {
    LaunchDescription description{"/usr/bin/shortcuts", {"run", name}, std::nullopt, true};
    try {
        platform_.launch(description);
    } catch (const LaunchError&) {
        // No tool on this machine: the shortcut simply does not run.
    }
}

}  // namespace jaunvel
