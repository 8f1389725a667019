#include <gmock/gmock.h>

#include "tests/unit/shell_fixture.h"
#include "ui/main_window.h"

namespace jaunvel {
namespace {

Screen screenAt(double x, double y, double width, double height) {
    return Screen{{x, y, width, height}, {x, y, width, height - 25}};
}

TEST(ContentRect, CentresAtMost1440By940WithoutRounding) {
    EXPECT_EQ(contentRectForVisibleFrame({0, 70, 1920, 985}), (Rect{240, 92.5, 1440, 940}));
    EXPECT_EQ(contentRectForVisibleFrame({0, 0, 1280, 775}), (Rect{0, 0, 1280, 775}));
    EXPECT_EQ(contentRectForVisibleFrame({100, 0, 1440, 940}), (Rect{100, 0, 1440, 940}));
    EXPECT_EQ(contentRectForVisibleFrame({1920, 0, 2560, 1415}), (Rect{2480, 237.5, 1440, 940}));
    EXPECT_EQ(contentRectForVisibleFrame({-1680, 0, 1441, 941}), (Rect{-1679.5, 0.5, 1440, 940}));
}

TEST(ScreenChoice, PicksTheRightmostLeftEdgeWithTheEarlierOnATie) {
    const Screen primary = screenAt(0, 0, 1920, 1080);
    const Screen right = Screen{{1920, 0, 2560, 1440}, {1920, 0, 2560, 1415}};
    const Screen left = screenAt(-1680, 0, 1680, 1050);
    const Screen above = screenAt(0, 1080, 1920, 1080);

    EXPECT_EQ(chooseScreen(primary, {primary, right})->frame, right.frame);
    EXPECT_EQ(chooseScreen(right, {right, primary})->frame, right.frame);
    // The main screen does not count when there are several: the primary wins.
    EXPECT_EQ(chooseScreen(left, {primary, left})->frame, primary.frame);
    EXPECT_EQ(chooseScreen(above, {primary, above})->frame, primary.frame);
    EXPECT_EQ(chooseScreen(above, {above, primary})->frame, above.frame);
    // With one screen or none, the main screen stays.
    EXPECT_EQ(chooseScreen(above, {primary})->frame, above.frame);
    EXPECT_EQ(chooseScreen(primary, {})->frame, primary.frame);
    EXPECT_FALSE(chooseScreen(std::nullopt, {}).has_value());
}

TEST_F(ShellTest, WindowGoesToTheRightmostScreensVisibleFrame) {
    platform.screenList = {*platform.mainScreenValue, Screen{{1920, 0, 2560, 1440}, {1920, 0, 2560, 1415}}};
    platform.launchApplication();
    EXPECT_THAT(platform.linesStartingWith("WINDOW "),
                ::testing::ElementsAre("WINDOW (2480, 237.5, 1440, 940) style=15 backing=2 defer=0"));
}

TEST_F(ShellTest, WindowStillAppearsWithoutAnyScreen) {
    platform.mainScreenValue.reset();
    platform.screenList.clear();
    platform.launchApplication();
    EXPECT_THAT(platform.linesStartingWith("WINDOW "),
                ::testing::ElementsAre("WINDOW (0, 0, 1440, 940) style=15 backing=2 defer=0"));
}

}  // namespace
}  // namespace jaunvel
