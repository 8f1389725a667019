// Settings save and open through the shell's own code (dialog answered at
// once, file written or read, callback script made), for a 1 KB and a 50 MB
// settings text. Each is measured against a command doing the same work on
// the same bytes in the same run, the two taking turns: `dd conv=fsync` for a
// save (write and make durable), `cp` for an open (read the whole file).
// `settings_bench open` or `settings_bench save` repeats only that operation
// on the 50 MB settings text, for a profiler.
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/app_delegate.h"
#include "platform/scripted/scripted_platform.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

double millisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double timeCommand(std::vector<std::string> arguments) {
    std::vector<char*> argv;
    for (auto& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    const auto start = Clock::now();
    pid_t pid = 0;
    if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return -1;
    int status = 0;
    waitpid(pid, &status, 0);
    const double elapsed = millisecondsSince(start);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? elapsed : -1;
}

std::pair<double, double> minAndMedian(std::vector<double> times) {
    std::sort(times.begin(), times.end());
    return {times.front(), times[times.size() / 2]};
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

class Bench {
public:
    Bench() {
        char pattern[] = "/var/tmp/jaunvel-settings-bench-XXXXXX";  // on disk, not tmpfs
        folder_ = mkdtemp(pattern);
        platform_.resources["server.js"] = "/nonexistent/server.js";
        platform_.application().setDelegate(delegate_);
        platform_.launchApplication();
    }
    ~Bench() { fs::remove_all(folder_); }
    Bench(const Bench&) = delete;
    Bench& operator=(const Bench&) = delete;

    std::string path(const char* name) const { return folder_ + "/" + name; }

    double save(const std::string& text, const std::string& target) {
        platform_.postMessage("configSaver", {{"name", "大会設定.json"}, {"content", text}});
        const auto start = Clock::now();
        platform_.answerSavePanel(1, target);
        return millisecondsSince(start);
    }
    double open(const std::string& target) {
        platform_.postMessage("configPicker", nullptr);
        const auto start = Clock::now();
        platform_.answerOpenPanel(1, {target});
        return millisecondsSince(start);
    }
    // Whether the last thing done was a call of `prefix`; the transcript is
    // then dropped, as the real web view drops each script it has run.
    bool lastCallbackWas(const char* prefix) {
        const auto lines = platform_.takeTranscript();
        const auto& line = lines.back();
        return line.compare(0, 5, "EVAL ") == 0 && line.compare(5, std::strlen(prefix), prefix) == 0;
    }

private:
    std::string folder_;
    jaunvel::scripted::ScriptedPlatform platform_;
    std::shared_ptr<jaunvel::AppDelegate> delegate_ = std::make_shared<jaunvel::AppDelegate>(platform_);
};

}  // namespace

int main(int argc, char** argv) {
    Bench bench;
    const std::string target = bench.path("大会設定.json");
    if (argc == 2) {
        const std::string text = settingsText(std::size_t{50} << 20);
        const bool saving = std::strcmp(argv[1], "save") == 0;
        if (!saving) bench.save(text, target);
        std::vector<double> times;
        for (int run = 0; run < 20; ++run) {
            times.push_back(saving ? bench.save(text, target) : bench.open(target));
            if (!bench.lastCallbackWas(saving ? "window.samplerConfigSavedFromNative("
                                              : "window.importSamplerConfigFromNative("))
                return 1;
        }
        const auto [fastest, median] = minAndMedian(times);
        std::printf("%s 50 MB settings: %.2f / %.2f ms (min / median of 20)\n", argv[1], fastest, median);
        return 0;
    }

    std::printf("| settings figure (min / median of runs) | ours | baseline | ratio (medians) |\n");
    std::printf("|---|---|---|---|\n");
    struct Case {
        const char* label;
        std::string text;
    };
    const Case cases[] = {{"1 KB settings", settingsText(1024)},
                          {"50 MB settings", settingsText(std::size_t{50} << 20)},
                          {"50 MB all-Japanese string", japaneseText(std::size_t{50} << 20)}};
    for (const auto& [label, text] : cases) {
        const int runs = text.size() > 1 << 20 ? 11 : 51;
        const std::string source = bench.path("source.json");
        std::ofstream(source, std::ios::binary) << text;

        // Ours and the baseline take turns, so that a machine busy for a
        // while slows both alike.
        std::vector<double> saves, dds, opens, cps;
        for (int run = 0; run < runs; ++run) {
            saves.push_back(bench.save(text, target));
            if (!bench.lastCallbackWas("window.samplerConfigSavedFromNative(")) return 1;
            dds.push_back(timeCommand(
                {"dd", "if=" + source, "of=" + bench.path("dd.json"), "bs=1M", "conv=fsync", "status=none"}));
            opens.push_back(bench.open(target));
            if (!bench.lastCallbackWas("window.importSamplerConfigFromNative(")) return 1;
            cps.push_back(timeCommand({"cp", target, bench.path("cp.json")}));
            // The copy is synced off the clock: left dirty, its 50 MB would be
            // written out by the next save's journal commit, on our clock.
            if (timeCommand({"sync", bench.path("cp.json")}) < 0) return 1;
        }
        const auto save = minAndMedian(saves);
        const auto dd = minAndMedian(dds);
        const auto open = minAndMedian(opens);
        const auto cp = minAndMedian(cps);
        if (dd.first < 0 || cp.first < 0) return 1;

        std::printf(
            "| save %s (write, fsync, callback) | %.2f / %.2f ms | `dd conv=fsync` %.2f / %.2f ms | %.2f× "
            "|\n",
            label, save.first, save.second, dd.first, dd.second, save.second / dd.second);
        std::printf(
            "| open %s (read, validate, callback script) | %.2f / %.2f ms | `cp` %.2f / %.2f ms | %.2f× |\n",
            label, open.first, open.second, cp.first, cp.second, open.second / cp.second);
    }
    return 0;
}
