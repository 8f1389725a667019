// Settings saves that fail in the file system: the page hears of it, the file
// already there stays byte for byte, and no temporary file is left behind.
#include <gmock/gmock.h>
#include <sys/mount.h>

#include <filesystem>
#include <fstream>

#include "tests/unit/shell_fixture.h"

namespace jaunvel {
namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;

std::string bytesOf(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<std::string> namesIn(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

class SaveFaults : public ShellTest {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/jaunvel-faults-XXXXXX";
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
    // Saves through the dialog and expects the failure callback with a description.
    void expectSaveFails(const fs::path& target, const std::string& text) {
        platform.postMessage("configSaver", {{"content", text}});
        platform.answerSavePanel(modal_response::ok, target.string());
        const std::string script = platform.evaluatedScripts().back();
        const std::string expression = "window.samplerConfigSaveFailedFromNative(";
        ASSERT_EQ(script.substr(0, expression.size()), expression);
        const json description =
            json::parse(script.substr(expression.size(), script.size() - expression.size() - 1));
        EXPECT_THAT(description.get<std::string>(), ::testing::StartsWith("ファイル「"));
    }

    fs::path folder;
    bool mounted = false;
};

TEST_F(SaveFaults, ReadOnlyFileSystem) {
    if (!mountSmallFileSystem("size=1m")) GTEST_SKIP() << "mounting a file system needs root";
    std::ofstream(folder / "大会.json") << "old settings";
    ASSERT_EQ(::mount(nullptr, folder.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0);
    expectSaveFails(folder / "大会.json", "{\"new\":true}");
    EXPECT_EQ(bytesOf(folder / "大会.json"), "old settings");
    EXPECT_EQ(namesIn(folder), std::vector<std::string>{"大会.json"});
}

TEST_F(SaveFaults, FullDisk) {
    if (!mountSmallFileSystem("size=64k")) GTEST_SKIP() << "mounting a file system needs root";
    std::ofstream(folder / "大会.json") << "old settings";
    expectSaveFails(folder / "大会.json", std::string(1 << 20, 'x'));
    EXPECT_EQ(bytesOf(folder / "大会.json"), "old settings");
    EXPECT_EQ(namesIn(folder), std::vector<std::string>{"大会.json"});
    // Once there is room again, the same save goes through.
    platform.postMessage("configSaver", {{"content", "{\"fits\":1}"}});
    platform.answerSavePanel(modal_response::ok, (folder / "大会.json").string());
    EXPECT_THAT(platform.evaluatedScripts().back(),
                ::testing::StartsWith("window.samplerConfigSavedFromNative("));
    EXPECT_EQ(bytesOf(folder / "大会.json"), "{\"fits\":1}");
}

}  // namespace
}  // namespace jaunvel
