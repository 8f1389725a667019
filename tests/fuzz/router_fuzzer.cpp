// Fuzzes the bridge: arbitrary channel names and bodies, dialogs answered at
// random, clock advanced at random. Whatever happens, every script sent to the
// page is exactly `window.<one of the eight callbacks>(<valid JSON>)`.
#include <fuzzer/FuzzedDataProvider.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "app/app_delegate.h"
#include "platform/scripted/scripted_platform.h"

namespace {

using jaunvel::AppDelegate;
using jaunvel::scripted::ScriptedPlatform;
using json = nlohmann::json;

// Callback, and whether its argument is a string (else an object).
const std::pair<std::string, bool> kCallbacks[] = {
    {"window.setThemeFolderFromNative", true},          {"window.importBgmFolderFromNative", true},
    {"window.importSamplerPageFolderFromNative", true}, {"window.setSamplerFileFromNative", false},
    {"window.samplerConfigSavedFromNative", false},     {"window.samplerConfigSaveFailedFromNative", true},
    {"window.importSamplerConfigFromNative", false},    {"window.samplerConfigImportFailedFromNative", true},
};

void checkScript(const std::string& script) {
    for (const auto& [callback, isString] : kCallbacks) {
        if (script.size() < callback.size() + 2 ||
            script.compare(0, callback.size() + 1, callback + "(") != 0)
            continue;
        if (script.back() != ')') std::abort();
        const auto argument = json::parse(
            script.substr(callback.size() + 1, script.size() - callback.size() - 2), nullptr, false);
        if (argument.is_discarded() || (isString ? !argument.is_string() : !argument.is_object()))
            std::abort();
        return;
    }
    std::abort();
}

const std::string& workFolder() {
    static const std::string folder = [] {
        char pattern[] = "/tmp/jaunvel-fuzz-XXXXXX";
        return std::string(::mkdtemp(pattern));
    }();
    return folder;
}

// A path inside the fuzzer's own folder: a name of any bytes but '/', NUL.
std::string pathFrom(FuzzedDataProvider& data) {
    std::string name = data.ConsumeRandomLengthString(24);
    for (char& c : name) {
        if (c == '/' || c == '\0') c = '_';
    }
    if (name.empty() || name == "." || name == "..") name = "settings.json";
    if (data.ConsumeBool()) return workFolder() + "/missing/" + name;
    return workFolder() + "/" + name;
}

json bodyFrom(FuzzedDataProvider& data) {
    switch (data.ConsumeIntegralInRange(0, 5)) {
        case 0:
            return data.ConsumeRandomLengthString(32);
        case 1:
            return data.ConsumeFloatingPoint<double>();
        case 2:
            return data.ConsumeIntegral<int64_t>();
        case 3:
            return json{{"name", data.ConsumeRandomLengthString(16)},
                        {"content", data.ConsumeRandomLengthString(256)}};
        default:
            return json::parse(data.ConsumeRandomLengthString(64), nullptr, false, true);
    }
}

const std::string kChannels[] = {"folderPicker", "filePicker", "configSaver",
                                 "configPicker", "FilePicker", ""};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    FuzzedDataProvider data(bytes, size);
    ScriptedPlatform platform;
    platform.resources["server.js"] = "/opt/jaunvel/share/jaunvel/server.js";
    platform.serverAnswers = data.ConsumeBool();
    auto delegate = std::make_shared<AppDelegate>(platform);
    platform.application().setDelegate(delegate);
    platform.launchApplication();

    for (int step = 0; step < 64 && data.remaining_bytes() > 0; ++step) {
        switch (data.ConsumeIntegralInRange(0, 6)) {
            case 0: {
                const std::string& channel =
                    kChannels[data.ConsumeIntegralInRange<size_t>(0, std::size(kChannels) - 1)];
                json body = bodyFrom(data);
                if (body.is_discarded()) body = nullptr;
                if (data.ConsumeBool()) {
                    platform.postMessage(channel, body);
                } else {
                    delegate->userContentControllerDidReceiveScriptMessage(
                        {data.ConsumeRandomLengthString(16), body});
                }
                break;
            }
            case 1:
            case 2: {
                if (platform.sheets().empty()) break;
                const auto index = data.ConsumeIntegralInRange<size_t>(0, platform.sheets().size() - 1);
                const long response = data.PickValueInArray({0L, 1L, 1000L, 1001L, -1L});
                switch (platform.sheets()[index].kind) {
                    case jaunvel::scripted::Sheet::Kind::open: {
                        std::vector<std::string> paths;
                        for (int n = data.ConsumeIntegralInRange(0, 2); n > 0; --n)
                            paths.push_back(pathFrom(data));
                        platform.answerOpenPanel(response, paths, index);
                        break;
                    }
                    case jaunvel::scripted::Sheet::Kind::save:
                        platform.answerSavePanel(
                            response, data.ConsumeBool() ? std::optional(pathFrom(data)) : std::nullopt,
                            index);
                        break;
                    case jaunvel::scripted::Sheet::Kind::alert:
                        platform.answerAlert(response, data.ConsumeRandomLengthString(16), index);
                        break;
                }
                break;
            }
            case 3:
                platform.advance(data.ConsumeIntegralInRange<uint64_t>(0, 5'000'000'000));
                break;
            case 4:
                platform.pagePrompt(data.ConsumeRandomLengthString(16), data.ConsumeRandomLengthString(16));
                break;
            case 5:
                platform.failNavigation(data.ConsumeBool());
                break;
            case 6:
                platform.pageConfirm(data.ConsumeRandomLengthString(16));
                break;
        }
    }
    for (const auto& script : platform.evaluatedScripts()) checkScript(script);
    platform.closeMainWindow();
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(workFolder(), ignored)) {
        std::filesystem::remove_all(entry.path(), ignored);
    }
    return 0;
}
