#include <gmock/gmock.h>

#include <stdexcept>

#include "platform/gtk/gtk_guarded.h"
#include "tests/unit/shell_fixture.h"

namespace jaunvel {
namespace {

using ::testing::ElementsAre;

// An exception that escapes the shell's code into a GLib callback stops a
// sanitizer build with its message and leaves a release build running.
TEST(Guarded, ExceptionsStopSanitizerBuildsAndNothingElse) {
    const auto fail = [] { gtk::guarded([] { throw std::runtime_error("pad 7 has no file"); }); };
    if (JAUNVEL_UNCAUGHT_ABORTS) {
        EXPECT_DEATH(fail(), "exception in a GLib callback: pad 7 has no file");
    } else {
        fail();
        bool ran = false;
        gtk::guarded([&] { ran = true; });
        EXPECT_TRUE(ran);
    }
}

// A settings flow that throws still answers the page that waits on it.
TEST_F(ShellTest, SettingsFlowsThatThrowStillAnswerThePage) {
    launchQuietly();
    platform.fileAccessThrows = true;
    platform.postMessage("configSaver", {{"content", "{}"}});
    EXPECT_THROW(platform.answerSavePanel(modal_response::ok, "/tmp/a.json"), std::bad_alloc);
    platform.postMessage("configPicker", nullptr);
    EXPECT_THROW(platform.answerOpenPanel(modal_response::ok, {"/tmp/a.json"}), std::bad_alloc);
    EXPECT_THAT(platform.evaluatedScripts(),
                ElementsAre(R"(window.samplerConfigSaveFailedFromNative("保存できませんでした"))",
                            R"(window.samplerConfigImportFailedFromNative("読み込めませんでした"))"));
}

}  // namespace
}  // namespace jaunvel
