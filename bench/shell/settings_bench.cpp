// Settings save and open through the shell's own code (dialog answered at
// once, file written or read, callback script made), against `cp` of the
// same file, for a 1 KB and a 50 MB settings text.
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "app/app_delegate.h"
#include "platform/scripted/scripted_platform.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

double millisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double timeCp(const std::string& from, const std::string& to) {
    const auto start = Clock::now();
    pid_t pid = 0;
    const char* argv[] = {"cp", from.c_str(), to.c_str(), nullptr};
    posix_spawnp(&pid, "cp", nullptr, nullptr, const_cast<char**>(argv), environ);
    int status = 0;
    waitpid(pid, &status, 0);
    return millisecondsSince(start);
}

template <class F>
double median(int runs, F&& once) {
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) times.push_back(once());
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

// What the deck saves: indented JSON of pages of pads, Japanese labels and
// file names, about `size` bytes.
std::string settingsText(std::size_t size) {
    std::string text = "{\n  \"format\": \"jaunvel-deck\",\n  \"name\": \"春季大会\",\n  \"pads\": [\n";
    for (int pad = 0; text.size() < size; ++pad) {
        const std::string n = std::to_string(pad);
        text += "    {\n      \"label\": \"入場 " + n + "\",\n      \"color\": \"#e04040\",\n" +
                "      \"volume\": 0.8,\n      \"mode\": \"oneShot\",\n      \"hotkey\": \"q\",\n" +
                "      \"file\": \"効果音/入場" + n + ".wav\",\n      \"name\": \"入場" + n +
                ".wav\"\n    },\n";
    }
    text += "    {}\n  ]\n}\n";
    return text;
}

// The hardest case for the shell's text handling: one string of Japanese.
std::string japaneseText(std::size_t size) {
    std::string text = "{\"大会\":\"";
    while (text.size() < size - 2) text += "パッド";
    text += "\"}";
    return text;
}

}  // namespace

int main() {
    char pattern[] = "/var/tmp/jaunvel-settings-bench-XXXXXX";  // on disk, not tmpfs
    const std::string folder = mkdtemp(pattern);
    jaunvel::scripted::ScriptedPlatform platform;
    platform.resources["server.js"] = "/nonexistent/server.js";
    auto delegate = std::make_shared<jaunvel::AppDelegate>(platform);
    platform.application().setDelegate(delegate);
    platform.launchApplication();

    std::printf("| settings figure | ours | baseline (cp) | ratio |\n|---|---|---|---|\n");
    struct Case {
        const char* label;
        std::string text;
    };
    const Case cases[] = {{"1 KB settings", settingsText(1024)},
                          {"50 MB settings", settingsText(std::size_t{50} << 20)},
                          {"50 MB all-Japanese string", japaneseText(std::size_t{50} << 20)}};
    for (const auto& [label, text] : cases) {
        const std::string target = folder + "/大会設定.json";
        const int runs = text.size() > 1 << 20 ? 5 : 50;

        const double save = median(runs, [&] {
            platform.clearTranscript();
            platform.postMessage("configSaver", {{"name", "大会設定.json"}, {"content", text}});
            const auto start = Clock::now();
            platform.answerSavePanel(1, target);
            return millisecondsSince(start);
        });
        const double open = median(runs, [&] {
            platform.clearTranscript();
            platform.postMessage("configPicker", nullptr);
            const auto start = Clock::now();
            platform.answerOpenPanel(1, {target});
            return millisecondsSince(start);
        });
        const double cp = median(runs, [&] { return timeCp(target, folder + "/copy.json"); });
        std::printf("| save %s (write + fsync + callback) | %.2f ms | %.2f ms | %.2f× |\n", label, save, cp,
                    save / cp);
        std::printf("| open %s (read + validate + callback) | %.2f ms | %.2f ms | %.2f× |\n", label, open, cp,
                    open / cp);
        const auto scripts = platform.evaluatedScripts();
        if (scripts.back().rfind("window.importSamplerConfigFromNative(", 0) != 0) return 1;
    }
    fs::remove_all(folder);
    return 0;
}
