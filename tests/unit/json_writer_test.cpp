// The JSON writer and the callback script built on it. Built twice: with the
// block functions the build chose, and with the plain C++ ones.
#include <gtest/gtest.h>

#include "bridge/json_writer.h"
#include "bridge/native_callback.h"

namespace jaunvel {
namespace {

using json = nlohmann::json;

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

}  // namespace
}  // namespace jaunvel
