// The JSON text that WebKitGTK's script engine (JavaScriptCore) gives for a
// value the page posts, made into a message body. Plain C++: no toolkit
// header, so that tests and fuzzers can reach it.
#pragma once

#include <nlohmann/json.hpp>
#include <string_view>

namespace jaunvel::gtk {

// Parses the JSON text the web engine gives for a posted value. A page string
// can hold an unpaired surrogate, which the engine writes as a lone `\uD800`
// style escape and which has no UTF-8 form: such a string keeps the surrogate
// as its three-byte generalised UTF-8 sequence (ED A0 80 for U+D800), which is
// not valid UTF-8, so nothing downstream can mistake it for clean text or
// silently drop the character. Text that is not JSON gives null.
nlohmann::json messageBodyFromJscJson(std::string_view jsonText);

}  // namespace jaunvel::gtk
