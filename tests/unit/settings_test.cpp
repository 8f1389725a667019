#include <gmock/gmock.h>
#include <sys/mount.h>

#include <filesystem>
#include <fstream>

#include "bridge/bridge_messages.h"
#include "bridge/json_writer.h"
#include "bridge/native_callback.h"
#include "tests/unit/shell_fixture.h"

namespace jaunvel {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using json = nlohmann::json;

std::string bytesOf(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void putBytes(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

class Settings : public ShellTest {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/jaunvel-settings-XXXXXX";
        folder = ::mkdtemp(pattern);
        launchQuietly();
    }
    void TearDown() override {
        if (mounted) ::umount2(folder.c_str(), MNT_DETACH);
        fs::remove_all(folder);
    }
    // A small file system of our own on the folder (needs root).
    bool mountSmallFileSystem(const char* size) {
        mounted = ::mount("tmpfs", folder.c_str(), "tmpfs", 0, size) == 0;
        return mounted;
    }

    // Saves `body` through the dialog, confirmed at `path`; returns the one script sent.
    std::string save(const json& body, const std::string& path) {
        platform.postMessage("configSaver", body);
        platform.answerSavePanel(modal_response::ok, path);
        return platform.evaluatedScripts().back();
    }
    std::string open(const std::string& path) {
        platform.postMessage("configPicker", nullptr);
        platform.answerOpenPanel(modal_response::ok, {path});
        return platform.evaluatedScripts().back();
    }
    // The folder holds exactly these names (no temporary file left behind).
    std::vector<std::string> names() const {
        std::vector<std::string> found;
        for (const auto& entry : fs::directory_iterator(folder)) found.push_back(entry.path().filename());
        std::sort(found.begin(), found.end());
        return found;
    }

    fs::path folder;
    bool mounted = false;
};

json argument(const std::string& script) {
    const auto open = script.find('(');
    return json::parse(script.substr(open + 1, script.size() - open - 2));
}

TEST_F(Settings, SaveWritesExactlyThePagesTextAndReportsWhereItWent) {
    const std::string text = "{\"名前\":\"決勝\",\"曲\":[\"a\\\\b\"]}\n\xE2\x80\xA8\t";
    const auto target = (folder / "大会 \"本戦\".json").string();
    putBytes(target, std::string(4096, 'x'));  // longer than the new text
    mark = platform.transcript().size();
    const auto script = save({{"name", "提案.json"}, {"content", text}, {"extra", 1}}, target);

    EXPECT_EQ(
        linesSinceMark().front(),
        "SHEET save title=Jaunvel prompt=保存 cancel=キャンセル message=大会設定の保存先を選んでください "
        "name=提案.json types=json replace=「NAME」はすでに存在します。置き換えますか？ / "
        "置き換えると、今の内容は失われます。 buttons=キャンセル,置き換える");
    EXPECT_EQ(bytesOf(target), text);
    EXPECT_EQ(script, "window.samplerConfigSavedFromNative({\"path\":" + *jsonText(target) +
                          R"(,"name":"大会 \"本戦\".json"}))");
    EXPECT_THAT(names(), ElementsAre("大会 \"本戦\".json"));
}

// What a configSaver body gives the save, whatever the page sent.
TEST(SaveRequest, DefaultsKeepWhatThePageSent) {
    const auto request = [](const json& body) {
        const auto r = saveRequest(body);
        return std::pair{r.name, r.content.value_or("(none)")};
    };
    const std::string fallback(defaultSettingsFileName);
    EXPECT_EQ(request("text"), std::pair(fallback, std::string("{}")));
    EXPECT_EQ(request(json::array({1, 2})), std::pair(fallback, std::string("{}")));
    EXPECT_EQ(request({{"name", ""}, {"content", ""}}), std::pair(fallback, std::string("")));
    EXPECT_EQ(request({{"name", 5}, {"content", nullptr}}), std::pair(fallback, std::string("{}")));
    EXPECT_EQ(request({{"name", "a.json"}}), std::pair(std::string("a.json"), std::string("{}")));
    // Settings sent as a value rather than as text are written as its JSON text.
    EXPECT_EQ(request({{"content", {{"pads", {1, "二"}}}}}).second, R"({"pads":[1,"二"]})");
    EXPECT_EQ(request({{"content", 7.5}}).second, "7.5");
}

TEST_F(Settings, TextThatIsNotUtf8IsNeverWritten) {
    const auto target = (folder / "keep.json").string();
    putBytes(target, "old settings");
    // How a page text with an unpaired surrogate arrives.
    for (const json& body :
         {json{{"content", "{\"a\":\"\xED\xA0\x80\"}"}}, json{{"content", {{"a", "\xED\xA0\x80"}}}}}) {
        const auto script = save(body, target);
        EXPECT_EQ(script.substr(0, script.find('(')), callback::samplerConfigSaveFailed);
        EXPECT_TRUE(argument(script).is_string());
        EXPECT_NE(argument(script), "保存できませんでした");
    }
    EXPECT_EQ(bytesOf(target), "old settings");
    EXPECT_THAT(names(), ElementsAre("keep.json"));
}

TEST_F(Settings, ReadOnlyOrFullFileSystemsLeaveTheOldFileAndNoTemporary) {
    if (!mountSmallFileSystem("size=64k")) GTEST_SKIP() << "mounting a file system needs root";
    putBytes(folder / "大会.json", "old settings");
    // Full: the write is cut short.
    const std::string full = save({{"content", std::string(1 << 20, 'x')}}, (folder / "大会.json").string());
    EXPECT_THAT(argument(full).get<std::string>(), ::testing::HasSubstr("空き容量"));
    EXPECT_EQ(bytesOf(folder / "大会.json"), "old settings");
    EXPECT_THAT(names(), ElementsAre("大会.json"));
    // Read-only: nothing can be created at all.
    ASSERT_EQ(::mount(nullptr, folder.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0);
    const std::string script = save({{"content", "{}"}}, (folder / "大会.json").string());
    EXPECT_THAT(argument(script).get<std::string>(), ::testing::HasSubstr("読み取り専用"));
    EXPECT_EQ(bytesOf(folder / "大会.json"), "old settings");
    EXPECT_THAT(names(), ElementsAre("大会.json"));
}

TEST_F(Settings, OpenHandsBackTheTextUnchanged) {
    using namespace std::string_literals;
    std::string text;  // long enough to be escaped sixteen bytes at a time
    for (int i = 0; i < 20; ++i) text += "{\"名\":\"x\\\"\"}\0tail\xE2\x80\xA8\n"s;
    const auto target = (folder / "round trip.json").string();
    save({{"content", text}}, target);
    EXPECT_EQ(open(target), "window.importSamplerConfigFromNative({\"path\":" + *jsonText(target) +
                                R"(,"name":"round trip.json","content":)" + *jsonText(text) + "})");

    putBytes(folder / "empty.json", "");
    putBytes(folder / "prose.json", "これは JSON ではない");
    putBytes(folder / "bom.json", "\xEF\xBB\xBF{\"a\":1}");
    EXPECT_EQ(argument(open((folder / "empty.json").string()))["content"], "");
    EXPECT_EQ(argument(open((folder / "prose.json").string()))["content"], "これは JSON ではない");
    EXPECT_EQ(argument(open((folder / "bom.json").string()))["content"], "{\"a\":1}");
}

// Files are read in pieces of 256 KiB and written in pieces of 1 MiB:
// characters cut by a piece's end, and bad bytes beyond the first piece, are
// found all the same.
TEST_F(Settings, LongTextsAreCheckedWholeAcrossPieces) {
    std::string text = "ab";
    while (text.size() < 2'200'000) text += "大会。";
    const auto target = (folder / "long.json").string();
    save({{"content", text}}, target);
    EXPECT_EQ(bytesOf(target), text);
    EXPECT_EQ(argument(open(target))["content"], text);

    std::string bad = text;
    bad[1'600'001] = '\xFF';
    const auto script = save({{"content", bad}}, target);
    EXPECT_EQ(script.substr(0, script.find('(')), callback::samplerConfigSaveFailed);
    EXPECT_EQ(bytesOf(target), text);
    EXPECT_THAT(names(), ElementsAre("long.json"));
    putBytes(target, bad);
    const auto opened = open(target);
    EXPECT_EQ(opened.substr(0, opened.find('(')), callback::samplerConfigImportFailed);
}

TEST_F(Settings, OpenFailuresReportADescription) {
    putBytes(folder / "latin1.json", "caf\xE9");
    for (const auto& target : {folder / "latin1.json", folder / "gone.json", folder}) {
        const auto script = open(target.string());
        EXPECT_EQ(script.substr(0, script.find('(')), callback::samplerConfigImportFailed);
        EXPECT_THAT(argument(script).get<std::string>(), ::testing::HasSubstr("読み込めませんでした"))
            << target;
    }
}

TEST_F(Settings, FallbackTextsWhenNoJsonTextCanBeMade) {
    const std::string badName = "\xff\xfe.json";
    // Written fine, but the path has no JSON text.
    EXPECT_EQ(save({{"content", "{}"}}, (folder / badName).string()),
              "window.samplerConfigSavedFromNative({})");
    EXPECT_EQ(open((folder / badName).string()), "window.importSamplerConfigFromNative({})");
    // The description names a file that has no JSON text either.
    EXPECT_EQ(save({{"content", "{}"}}, (folder / "missing" / badName).string()),
              "window.samplerConfigSaveFailedFromNative(\"保存できませんでした\")");
    EXPECT_EQ(open((folder / "missing" / badName).string()),
              "window.samplerConfigImportFailedFromNative(\"読み込めませんでした\")");
}

}  // namespace
}  // namespace jaunvel
