#include <gmock/gmock.h>

#include "tests/unit/shell_fixture.h"

namespace jaunvel {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

TEST_F(ShellTest, StartupRunsEveryStepInOrderAndSchedulesThreeLoads) {
    platform.launchApplication();
    EXPECT_THAT(platform.transcript(),
                ElementsAre("ACTIVATION_POLICY 0", "PRESENTATION_OPTIONS 517",
                            "LAUNCH /usr/bin/shortcuts [run] [Brasmoor Focus On] output=discarded",
                            std::string("LAUNCH /usr/bin/env [node] [") + kScriptPath + "]",
                            "USER_CONTENT_CONTROLLER", "ADD_HANDLER folderPicker", "ADD_HANDLER filePicker",
                            "ADD_HANDLER configSaver", "ADD_HANDLER configPicker",
                            "WEB_VIEW frame=(0, 0, 0, 0) media=0",
                            "WINDOW (240, 92.5, 1440, 940) style=15 backing=2 defer=0", "TITLE Jaunvel",
                            "CONTENT_VIEW", "KEY_AND_FRONT", "ACTIVATE ignoringOtherApps=1",
                            "DISPATCH +0.5 at=0", "DISPATCH +1.5 at=0", "DISPATCH +3 at=0"));

    platform.advance(60 * kSecond);
    EXPECT_THAT(platform.linesStartingWith("LOAD "),
                ElementsAre("LOAD http://localhost:4177 cache=1 timeout=5 at=0.5",
                            "LOAD http://localhost:4177 cache=1 timeout=5 at=1.5",
                            "LOAD http://localhost:4177 cache=1 timeout=5 at=3"));
    EXPECT_THAT(platform.linesStartingWith("DISPATCH"), ::testing::SizeIs(3));
}

TEST_F(ShellTest, MissingShortcutsToolChangesNothingElse) {
    platform.launchApplication();
    platform.closeMainWindow();
    const auto withTool = platform.transcript();

    scripted::ScriptedPlatform bare;
    bare.launchFailures["/usr/bin/shortcuts"] = "ファイルが見つかりません";
    launchAndCloseAnother(bare);

    auto expected = withTool;
    for (auto& line : expected) {
        if (line.rfind("LAUNCH /usr/bin/shortcuts", 0) == 0) line += " FAILED";
    }
    EXPECT_EQ(bare.transcript(), expected);
    EXPECT_THAT(bare.linesStartingWith("MODAL_ALERT"), IsEmpty());
}

TEST_F(ShellTest, ShutdownRunsFocusOffResetsOptionsRemovesChannelsThenStopsTheServer) {
    launchQuietly();
    platform.advance(kSecond);  // within the first 3 s: two loads still pending
    mark = platform.transcript().size();
    platform.closeMainWindow();
    EXPECT_THAT(
        linesSinceMark(),
        ElementsAre("WINDOW_CLOSED", "LAUNCH /usr/bin/shortcuts [run] [Brasmoor Focus Off] output=discarded",
                    "PRESENTATION_OPTIONS 0", "REMOVE_HANDLER folderPicker", "REMOVE_HANDLER filePicker",
                    "REMOVE_HANDLER configSaver", "REMOVE_HANDLER configPicker", "TERMINATE /usr/bin/env"));

    // Pending loads are dropped and the channels reach nothing any more.
    mark = platform.transcript().size();
    platform.advance(10 * kSecond);
    platform.postMessage("configPicker", nullptr);
    EXPECT_THAT(linesSinceMark(), IsEmpty());
}

TEST_F(ShellTest, ShutdownAsksNoServerToStopWhenItHasEndedOrNeverStarted) {
    launchQuietly();
    platform.exitProcess(1);
    platform.closeMainWindow();
    EXPECT_THAT(platform.linesStartingWith("TERMINATE"), IsEmpty());

    scripted::ScriptedPlatform failing;
    failing.launchFailures["/usr/bin/env"] = "実行できません";
    launchAndCloseAnother(failing);
    EXPECT_THAT(failing.linesStartingWith("TERMINATE"), IsEmpty());
    EXPECT_THAT(failing.linesStartingWith("REMOVE_HANDLER"), ::testing::SizeIs(4));
}

TEST_F(ShellTest, ShutdownWithoutAWebViewRemovesNothing) {
    delegate->applicationWillTerminate();
    EXPECT_THAT(platform.transcript(),
                ElementsAre("LAUNCH /usr/bin/shortcuts [run] [Brasmoor Focus Off] output=discarded",
                            "PRESENTATION_OPTIONS 0"));
}

}  // namespace
}  // namespace jaunvel
