#include <gmock/gmock.h>

#include "tests/unit/shell_fixture.h"

namespace jaunvel {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

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
