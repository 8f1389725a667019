// The JSON text the shell writes: compact, with only what JSON requires
// escaped plus U+2028 and U+2029, so that it is also a script expression in
// any engine. Strings must be valid UTF-8: the writer refuses anything else.
#pragma once

#include <cstddef>
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

// The length of `text`, which must be valid UTF-8, as a JSON string literal
// (quotes included).
std::size_t jsonStringLength(std::string_view text);

// Turns the first `size` bytes of `data`, valid UTF-8, into their JSON string
// literal of `length` bytes (as jsonStringLength gave it) that starts at
// `data + at`, writing from the end down. `at` must be 32 or more, and `data`
// must hold `at + length` bytes.
void writeJsonStringInPlace(char* data, std::size_t size, std::size_t at, std::size_t length);

// Room for a text of `size` bytes to become a script in its own buffer: the
// literal's escapes are seldom more than a quarter of the text.
std::size_t capacityForScriptInPlace(std::size_t size);

}  // namespace jaunvel
