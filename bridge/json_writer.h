// The JSON text the shell writes: compact, with only what JSON requires
// escaped plus U+2028 and U+2029, so that it is also a script expression in
// any engine. Strings must be valid UTF-8: the writer refuses anything else.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

namespace jaunvel {

// Compact JSON text of a value, members in the value's own order. None when
// it holds text that is not valid UTF-8.
std::optional<std::string> jsonText(const nlohmann::ordered_json& value);

// Appends the JSON text of `value`; false when it holds text that is not
// valid UTF-8 (`out` then holds part of it).
bool appendJson(std::string& out, const nlohmann::ordered_json& value);

// Appends `text` as a JSON string literal; false when it is not valid UTF-8.
bool appendJsonString(std::string& out, std::string_view text);

// Appends what goes between the quotes of the JSON string literal of `text`,
// which must be valid UTF-8 and must not end inside a character: a long text
// can be written a piece at a time.
void appendJsonStringContent(std::string& out, std::string_view text);

}  // namespace jaunvel
