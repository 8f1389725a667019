// Starting the local server and the error alert that reports its failures.
#include "app/app_delegate.h"
#include "server/server_launch.h"
#include "ui/dialog_texts.h"

namespace jaunvel {

LaunchDescription serverLaunchDescription(const std::string& scriptPath,
                                          const std::optional<std::string>& nodePath,
                                          Environment environment) {
    environment["PORT"] = kServerPort;
    environment["PATH"] = kServerSearchPath;
    if (nodePath) return LaunchDescription{*nodePath, {scriptPath}, std::move(environment), false};
    return LaunchDescription{"/usr/bin/env", {"node", scriptPath}, std::move(environment), false};
}

void AppDelegate::startServer() {
    const auto script = platform_.pathForResource("server", "js");
    if (!script) {
        showError("server.js が見つかりません。");
        return;
    }
    const auto node = platform_.pathForResource("node", "");
    const auto description = serverLaunchDescription(*script, node, platform_.processEnvironment());
    try {
        setServerTask(platform_.launch(description));
    } catch (const LaunchError& error) {
        showError(std::string("Node.js を起動できませんでした: ") + error.what());
    }
}

void AppDelegate::showError(const std::string& message) {
    platform_.runModalAlert(AlertOptions{.title = dialog_text::title,
                                         .messageText = dialog_text::title,
                                         .informativeText = message,
                                         .style = AlertStyle::critical,
                                         .buttons = {dialog_text::ok},
                                         .accessoryTextField = std::nullopt});
}

}  // namespace jaunvel
