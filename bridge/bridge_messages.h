// What each channel takes from a message body, with the fixed default for a
// body of any other type.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "platform/path_names.h"

namespace jaunvel {

namespace channel {
inline constexpr std::string_view folderPicker = "folderPicker";
inline constexpr std::string_view filePicker = "filePicker";
inline constexpr std::string_view configSaver = "configSaver";
inline constexpr std::string_view configPicker = "configPicker";
}  // namespace channel

// The four channels in the order they are registered and removed.
inline constexpr std::string_view channelsInOrder[] = {channel::folderPicker, channel::filePicker,
                                                       channel::configSaver, channel::configPicker};

inline constexpr std::string_view defaultSettingsFileName = "大会設定.brasmoor.json";

// The folder import mode: the body when it is a string, else "theme".
std::string folderImportMode(const nlohmann::json& body);

// The pad index: the body when it is a finite number, unchanged; else -1.
nlohmann::json padIndex(const nlohmann::json& body);

struct SaveRequest {
    std::string name;  // initial text of the save dialog's name field
    // The exact text to write. None when the page sent a value that has no
    // UTF-8 text form; such a save can only fail.
    std::optional<std::string> content;
};

// The save request of a configSaver body: `name` when it is a non-empty UTF-8
// string, else the default file name; `content` when it is a string, "{}" when
// it is missing or null, else the compact JSON text of the value the page sent.
SaveRequest saveRequest(const nlohmann::json& body);

}  // namespace jaunvel
