#include <gmock/gmock.h>

#include <cmath>

#include "bridge/bridge_messages.h"
#include "bridge/native_callback.h"
#include "tests/unit/shell_fixture.h"

namespace jaunvel {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::SizeIs;
using json = nlohmann::json;

// Splits `window.name(ARG)` and parses ARG, failing the test when the script
// is not exactly one call with one JSON argument.
json argumentOf(const std::string& script, std::string_view expression) {
    EXPECT_EQ(script.substr(0, expression.size() + 1), std::string(expression) + "(") << script;
    EXPECT_EQ(script.back(), ')') << script;
    return json::parse(script.substr(expression.size() + 1, script.size() - expression.size() - 2));
}

// What the router tables below do not reach.
TEST(BodyDefaults, EdgeValues) {
    EXPECT_EQ(padIndex(INFINITY), -1);
    EXPECT_EQ(lastPathComponent("/a/b/曲 1.wav"), "曲 1.wav");
    EXPECT_EQ(lastPathComponent("/a/b/"), "b");
    EXPECT_EQ(lastPathComponent("/"), "/");
    EXPECT_EQ(lastPathComponent(""), "");
}

class Bridge : public ShellTest {
protected:
    void SetUp() override { launchQuietly(); }
};

TEST_F(Bridge, FolderPickerChoosesMessageAndCallbackByMode) {
    struct Case {
        json body;
        std::string message;
        std::string_view expression;
    };
    const std::vector<Case> cases = {
        {"bgmImport", "BGMとして取り込むフォルダを選んでください", callback::importBgmFolder},
        {"samplerPageImport", "現在のページに流し込む音源フォルダを選んでください",
         callback::importSamplerPageFolder},
        {"theme", "基本フォルダを選んでください", callback::setThemeFolder},
        {"BGMImport", "基本フォルダを選んでください", callback::setThemeFolder},
        {json::object({{"mode", "bgmImport"}}), "基本フォルダを選んでください", callback::setThemeFolder},
        {nullptr, "基本フォルダを選んでください", callback::setThemeFolder},
    };
    for (const auto& c : cases) {
        mark = platform.transcript().size();
        platform.postMessage("folderPicker", c.body);
        EXPECT_THAT(
            linesSinceMark(),
            ElementsAre(
                "SHEET open title=Jaunvel files=0 dirs=1 multiple=0 prompt=選択 cancel=キャンセル message=" +
                c.message + " types="))
            << c.body;
        platform.answerOpenPanel(modal_response::ok, {"/home/op/大会 \"本戦\""});
        const auto scripts = platform.evaluatedScripts();
        ASSERT_FALSE(scripts.empty());
        EXPECT_EQ(argumentOf(scripts.back(), c.expression), "/home/op/大会 \"本戦\"") << c.body;
    }
    EXPECT_THAT(platform.evaluatedScripts(), SizeIs(cases.size()));
}

TEST_F(Bridge, FolderPickerAnswersNothingWithoutAUsableChoice) {
    for (int i = 0; i < 3; ++i) platform.postMessage("folderPicker", "bgmImport");
    platform.answerOpenPanel(modal_response::cancel, {"/tmp/x"});
    platform.answerOpenPanel(modal_response::ok, {});
    platform.answerOpenPanel(modal_response::ok, {"/tmp/\xff\xfe"});
    EXPECT_THAT(platform.evaluatedScripts(), IsEmpty());

    // Two requests at once: each answers for its own panel and mode.
    platform.postMessage("folderPicker", "bgmImport");
    platform.postMessage("folderPicker", "samplerPageImport");
    platform.answerOpenPanel(modal_response::ok, {"/b"}, 1);
    platform.answerOpenPanel(modal_response::ok, {"/a"});
    EXPECT_THAT(platform.evaluatedScripts(), ElementsAre(R"(window.importSamplerPageFolderFromNative("/b"))",
                                                         R"(window.importBgmFolderFromNative("/a"))"));
}

TEST_F(Bridge, AudioFilePickerEchoesThePadIndexWithPathAndName) {
    const std::vector<std::pair<json, json>> cases = {
        {5, 5},        {2.5, 2.5},           {0, 0},
        {"5", -1},     {json::object(), -1}, {json::array(), -1},
        {nullptr, -1}, {true, -1},           {std::nan(""), -1},
    };
    for (const auto& [body, index] : cases) {
        mark = platform.transcript().size();
        platform.postMessage("filePicker", body);
        EXPECT_THAT(
            linesSinceMark(),
            ElementsAre("SHEET open title=Jaunvel files=1 dirs=0 multiple=0 prompt=選択 cancel=キャンセル "
                        "message=パッドに登録する音源を選んでください types=mp3,m4a,wav,aac,flac,aiff,aif"));
        platform.answerOpenPanel(modal_response::ok, {"/音源/入場 \"A\".wav"});
        EXPECT_EQ(platform.evaluatedScripts().back(),
                  "window.setSamplerFileFromNative({\"index\":" + index.dump() +
                      R"(,"path":"/音源/入場 \"A\".wav","name":"入場 \"A\".wav"}))")
            << body;
    }

    mark = platform.transcript().size();
    platform.postMessage("filePicker", 3);
    platform.answerOpenPanel(modal_response::cancel, {"/a.wav"});
    platform.postMessage("filePicker", 3);
    platform.answerOpenPanel(modal_response::ok, {"/\xff.wav"});
    EXPECT_THAT(platform.linesStartingWith("EVAL"), SizeIs(cases.size()));
}

TEST_F(Bridge, RouterIgnoresUnknownChannelsAndOpenDialogsForAnyBody) {
    delegate->userContentControllerDidReceiveScriptMessage({"FolderPicker", "theme"});
    delegate->userContentControllerDidReceiveScriptMessage({"", nullptr});
    delegate->userContentControllerDidReceiveScriptMessage({"folderPicker ", "theme"});
    EXPECT_THAT(linesSinceMark(), IsEmpty());

    for (const json& body : {json(nullptr), json(42), json("x"), json::object({{"a", 1}})}) {
        platform.postMessage("configPicker", body);
    }
    EXPECT_THAT(platform.linesStartingWith("SHEET"),
                ::testing::Each(
                    "SHEET open title=Jaunvel files=1 dirs=0 multiple=0 prompt=読み込み cancel=キャンセル "
                    "message=読み込む大会設定ファイルを選んでください types=json"));
    EXPECT_THAT(platform.sheets(), SizeIs(4));
}

}  // namespace
}  // namespace jaunvel
