#include <gmock/gmock.h>

#include <cmath>

#include "bridge/bridge_messages.h"
#include "bridge/json_writer.h"
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

// Long texts are taken sixteen bytes at a time: every character that needs
// care is tried at every offset of several such blocks, and so is every kind
// of bad byte.
TEST(JsonText, EveryOffsetOfLongTexts) {
    EXPECT_EQ(*jsonText(json::object({{"a", "b"}, {"n", 1.5}, {"l", {true, nullptr}}})),
              R"({"a":"b","l":[true,null],"n":1.5})");
    EXPECT_FALSE(jsonText(json::object({{"path", "\xed\xa0\x80"}})).has_value());
    EXPECT_FALSE(jsonText(json::object({{"\xff", "x"}})).has_value());

    const std::string fill = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123";
    for (const std::string special : {"\"", "\\", "\n", "\t", "\f", "\x01", "\x1f", "\x7f", "\xE2\x80\xA8",
                                      "\xE2\x80\xA9", "\xE2\x80\xA6", "あ", "\xF0\x9F\x8E\xB5", "\xC3\xA9"}) {
        for (std::size_t at = 0; at <= fill.size(); ++at) {
            const std::string text = fill.substr(0, at) + special + fill.substr(at);
            const auto literal = jsonText(text);
            ASSERT_TRUE(literal) << at;
            // The library's own writer, with the two line separators escaped.
            std::string expected = json(text).dump();
            for (const auto& [raw, escape] :
                 {std::pair{"\xE2\x80\xA8", "\\u2028"}, {"\xE2\x80\xA9", "\\u2029"}}) {
                for (auto p = expected.find(raw); p != std::string::npos; p = expected.find(raw)) {
                    expected.replace(p, 3, escape);
                }
            }
            EXPECT_EQ(*literal, expected) << at;
        }
    }
    for (const std::string bad :
         {"\xFF", "\xC0\xAF", "\xE3\x81", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\x80"}) {
        for (std::size_t at = 0; at <= fill.size(); ++at) {
            EXPECT_FALSE(jsonText(fill.substr(0, at) + bad + fill.substr(at)).has_value()) << at;
        }
    }
}

// A settings text is turned into the script in its own buffer when that has
// room, written from the end down; the result is the same either way.
TEST(JsonText, TextBecomesTheScriptInItsOwnBuffer) {
    const nlohmann::ordered_json fields = {{"path", "/tmp/大会.json"}, {"name", "大会.json"}};
    const std::string head =
        std::string(callback::importSamplerConfig) + R"(({"path":"/tmp/大会.json","name":"大会.json"})";
    const std::string fill = "{\"pads\":[{\"label\":\"入場\"}],\"abcdefghijklmnopqrstuvwxyz0123456789\":1}";
    for (const std::string special :
         {"\"", "\\", "\n", "\x01", "\xE2\x80\xA8", "\xE2\x80\xA9", "\xE2\x80\xA6", "あ"}) {
        for (std::size_t at = 0; at <= fill.size(); ++at) {
            if (at < fill.size() && (fill[at] & 0xC0) == 0x80) continue;  // inside a character
            const std::string text = fill.substr(0, at) + special + fill.substr(at);
            const std::string expected =
                head.substr(0, head.size() - 1) + ",\"content\":" + *jsonText(text) + "})";
            for (const bool roomy : {true, false}) {
                std::string given = text;
                roomy ? given.reserve(3 * text.size()) : given.shrink_to_fit();
                const auto script = callbackScriptWithText(callback::importSamplerConfig, fields, "content",
                                                           std::move(given));
                ASSERT_TRUE(script);
                EXPECT_EQ(*script, expected) << at << (roomy ? " in place" : " copied");
            }
        }
    }
    EXPECT_EQ(*callbackScriptWithText("f", json::object(), "content", "x"), R"(f({"content":"x"}))");
    EXPECT_FALSE(callbackScriptWithText("f", {{"path", "\xFF"}}, "content", "x").has_value());
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
        {5, "基本フォルダを選んでください", callback::setThemeFolder},
        {1.5, "基本フォルダを選んでください", callback::setThemeFolder},
        {json::object({{"mode", "bgmImport"}}), "基本フォルダを選んでください", callback::setThemeFolder},
        {json::array({"bgmImport"}), "基本フォルダを選んでください", callback::setThemeFolder},
        {nullptr, "基本フォルダを選んでください", callback::setThemeFolder},
        {false, "基本フォルダを選んでください", callback::setThemeFolder},
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
