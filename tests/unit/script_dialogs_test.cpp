#include <gmock/gmock.h>

#include "tests/unit/shell_fixture.h"

namespace jaunvel {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

class ScriptDialogs : public ShellTest {
protected:
    void SetUp() override { launchQuietly(); }
    std::vector<std::string> pageResults() const { return platform.linesStartingWith("PAGE "); }
};

TEST_F(ScriptDialogs, AlertReturnsOnlyOnceTheSheetEnds) {
    platform.pageAlert("試合開始");
    EXPECT_THAT(
        linesSinceMark(),
        ElementsAre("SHEET alert title=Jaunvel style=0 message=Jaunvel informative=試合開始 buttons=OK"));
    EXPECT_THAT(pageResults(), IsEmpty());
    platform.answerAlert(modal_response::firstButton);
    platform.pageAlert(std::nullopt);
    platform.answerAlert(modal_response::cancel);
    EXPECT_THAT(pageResults(), ElementsAre("PAGE alert returned", "PAGE alert returned"));
    EXPECT_EQ(platform.linesStartingWith("SHEET").back(),
              "SHEET alert title=Jaunvel style=0 message=Jaunvel informative= buttons=OK");
}

TEST_F(ScriptDialogs, ConfirmIsTrueOnlyForTheFirstButton) {
    for (const long response : {modal_response::firstButton, modal_response::secondButton}) {
        platform.pageConfirm("続けますか?");
        platform.answerAlert(response);
    }
    EXPECT_THAT(pageResults(), ElementsAre("PAGE confirm true", "PAGE confirm false"));
    EXPECT_EQ(
        platform.linesStartingWith("SHEET").front(),
        "SHEET alert title=Jaunvel style=0 message=Jaunvel informative=続けますか? buttons=OK,キャンセル");
}

TEST_F(ScriptDialogs, PromptGivesTheFieldsTextOnOkAndNullOtherwise) {
    platform.pagePrompt("チーム名", "赤組");
    EXPECT_EQ(platform.linesStartingWith("SHEET").back(),
              "SHEET alert title=Jaunvel style=0 message=Jaunvel informative=チーム名 buttons=OK,キャンセル "
              "field=(0, 0, 360, 24) \"赤組\"");
    platform.answerAlert(modal_response::firstButton);  // unchanged default
    platform.pagePrompt("チーム名", "赤組");
    platform.answerAlert(modal_response::firstButton, "白組");
    platform.pagePrompt("チーム名", "赤組");
    platform.answerAlert(modal_response::secondButton, "白組");
    platform.pagePrompt(std::nullopt, std::nullopt);
    EXPECT_EQ(platform.linesStartingWith("SHEET").back(),
              "SHEET alert title=Jaunvel style=0 message=Jaunvel informative= buttons=OK,キャンセル "
              "field=(0, 0, 360, 24) \"\"");
    platform.answerAlert(modal_response::firstButton);
    EXPECT_THAT(pageResults(), ElementsAre("PAGE prompt \"赤組\"", "PAGE prompt \"白組\"", "PAGE prompt null",
                                           "PAGE prompt \"\""));
}

}  // namespace
}  // namespace jaunvel
