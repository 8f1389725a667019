#include <gmock/gmock.h>

#include "server/server_launch.h"
#include "tests/unit/shell_fixture.h"

namespace jaunvel {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::SizeIs;

constexpr char kFixedPath[] = "/opt/homebrew/bin:/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin";

TEST(ServerLaunch, RunsTheBundledNodeOrTheFirstNodeOnTheFixedPath) {
    const Environment shell = {{"PORT", "8080"},
                               {"PATH", "/tmp/evil"},
                               {"HOME", "/home/op"},
                               {"EMPTY", ""},
                               {"LANG", "ja_JP.UTF-8"}};
    const Environment expected = {
        {"PORT", "4177"}, {"PATH", kFixedPath}, {"HOME", "/home/op"}, {"EMPTY", ""}, {"LANG", "ja_JP.UTF-8"}};

    const auto bundled = serverLaunchDescription("/app/server.js", "/app/node", shell);
    EXPECT_EQ(bundled.executable, "/app/node");
    EXPECT_THAT(bundled.arguments, ElementsAre("/app/server.js"));
    EXPECT_EQ(bundled.environment, expected);
    EXPECT_FALSE(bundled.discardOutput);

    const auto searched = serverLaunchDescription("/app/server.js", std::nullopt, shell);
    EXPECT_EQ(searched.executable, "/usr/bin/env");
    EXPECT_THAT(searched.arguments, ElementsAre("node", "/app/server.js"));
    EXPECT_EQ(searched.environment, expected);
}

TEST_F(ShellTest, StartServerUsesTheNodeResourceAndKeepsTheProcess) {
    platform.resources["node"] = "/opt/jaunvel/share/jaunvel/node";
    platform.launchApplication();
    ASSERT_THAT(platform.launches(), SizeIs(2));
    EXPECT_EQ(platform.launches()[1].executable, "/opt/jaunvel/share/jaunvel/node");
    EXPECT_THAT(platform.launches()[1].arguments, ElementsAre(kScriptPath));
    EXPECT_EQ(platform.launches()[1].environment->at("HOME"), "/home/operator");
}

TEST_F(ShellTest, LaunchFailureShowsItsReasonAndLeavesNoServer) {
    platform.launchFailures["/usr/bin/env"] = "権限がありません (errno 13)";
    platform.launchApplication();
    EXPECT_THAT(
        platform.linesStartingWith("MODAL_ALERT "),
        ElementsAre(
            "MODAL_ALERT title=Jaunvel style=2 message=Jaunvel informative=Node.js を起動できませんでした: "
            "権限がありません (errno 13) buttons=OK"));
    EXPECT_EQ(delegate->serverTask(), nullptr);
    EXPECT_THAT(platform.linesStartingWith("WINDOW "), SizeIs(1));
}

// Loads at each moment, as "at=T" texts.
std::vector<std::string> loadTimes(const scripted::ScriptedPlatform& platform) {
    std::vector<std::string> times;
    for (const auto& line : platform.linesStartingWith("LOAD "))
        times.push_back(line.substr(line.find("at=")));
    return times;
}

TEST_F(ShellTest, EveryFailedLoadSchedulesExactlyOneMoreOneSecondLater) {
    platform.serverAnswers = false;
    platform.launchApplication();
    platform.advance(5 * kSecond + kSecond / 10);
    // Three chains: from 0.5 and 1.5 (landing together on the half seconds)
    // and from 3.
    EXPECT_THAT(loadTimes(platform), ElementsAre("at=0.5", "at=1.5", "at=1.5", "at=2.5", "at=2.5", "at=3",
                                                 "at=3.5", "at=3.5", "at=4", "at=4.5", "at=4.5", "at=5"));
    const auto& lines = platform.transcript();
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].rfind("NAVIGATION_FAILED", 0) != 0) continue;
        ASSERT_LT(i + 1, lines.size());
        EXPECT_EQ(lines[i + 1].substr(0, 11), "DISPATCH +1") << lines[i];
    }
    EXPECT_THAT(platform.linesStartingWith("MODAL_ALERT"), IsEmpty());
}

TEST_F(ShellTest, PageAppearsWithinASecondOfTheServerAnsweringAndChainsEnd) {
    platform.serverAnswers = false;
    platform.launchApplication();
    platform.advance(6 * kSecond + kSecond / 5);  // server comes up at 6.2 s
    platform.serverAnswers = true;
    platform.advance(30 * kSecond);
    // The two loads at 6.5 s: the second replaces the first, whose chain goes
    // on once more.
    EXPECT_THAT(platform.linesStartingWith("LOADED"),
                ElementsAre("LOADED at=6.5", "LOADED at=7", "LOADED at=7.5"));
    EXPECT_EQ(loadTimes(platform).back(), "at=7.5");
    EXPECT_EQ(platform.pendingJobs(), 0u);
}

TEST_F(ShellTest, CancelledAndPageStartedNavigationsAreRetriedLikeAnyFailure) {
    platform.loadDuration = kSecond + kSecond / 5;  // the 0.5 s load is still running at 1.5 s
    launchQuietly();
    platform.advance(kSecond + kSecond / 2);
    EXPECT_THAT(platform.linesStartingWith("NAVIGATION_FAILED"),
                ElementsAre("NAVIGATION_FAILED provisional cancelled at=1.5"));

    platform.loadDuration = 0;
    platform.advance(5 * kSecond);
    mark = platform.transcript().size();
    platform.failNavigation(false);  // the page followed a link nowhere
    platform.advance(kSecond);
    EXPECT_THAT(linesSinceMark(),
                ElementsAre("NAVIGATION_FAILED page navigation failed at=6.5", "DISPATCH +1 at=6.5",
                            "LOAD http://localhost:4177 cache=1 timeout=5 at=7.5", "LOADED at=7.5"));
}

}  // namespace
}  // namespace jaunvel
