// A shell on the scripted platform: one screen of 1920 × 1080 with a menu bar
// and a Dock, a bundled server.js, and a user environment of its own.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "app/app_delegate.h"
#include "platform/scripted/scripted_platform.h"

namespace jaunvel {

inline constexpr char kScriptPath[] = "/opt/jaunvel/share/jaunvel/server.js";
inline constexpr std::uint64_t kSecond = 1'000'000'000;

class ShellTest : public ::testing::Test {
protected:
    ShellTest() {
        platform.mainScreenValue = Screen{{0, 0, 1920, 1080}, {0, 70, 1920, 985}};
        platform.screenList = {*platform.mainScreenValue};
        platform.resources["server.js"] = kScriptPath;
        platform.environment = {
            {"HOME", "/home/operator"}, {"PATH", "/home/operator/bin"}, {"LANG", "ja_JP.UTF-8"}};
        platform.application().setDelegate(delegate);
    }

    // Launches and opens no dialog; the transcript then starts afresh.
    void launchQuietly() {
        platform.launchApplication();
        mark = platform.transcript().size();
    }
    // A second shell on `other`, with the fixture's screens and resources,
    // launched and then closed.
    void launchAndCloseAnother(scripted::ScriptedPlatform& other) const {
        other.mainScreenValue = platform.mainScreenValue;
        other.screenList = platform.screenList;
        other.resources = platform.resources;
        const auto otherDelegate = std::make_shared<AppDelegate>(other);
        other.application().setDelegate(otherDelegate);
        other.launchApplication();
        other.closeMainWindow();
    }
    std::vector<std::string> linesSinceMark() const {
        return {platform.transcript().begin() + static_cast<std::ptrdiff_t>(mark),
                platform.transcript().end()};
    }

    scripted::ScriptedPlatform platform;
    std::shared_ptr<AppDelegate> delegate = std::make_shared<AppDelegate>(platform);
    std::size_t mark = 0;
};

}  // namespace jaunvel
