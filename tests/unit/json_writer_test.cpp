// The UTF-8 check, the JSON writer and the callback script built on it. Built
// twice: with the block functions the build chose, and with the plain C++ ones.
#include <gtest/gtest.h>

#include "bridge/json_writer.h"
#include "bridge/native_callback.h"
#include "platform/utf8.h"

namespace jaunvel {
namespace {

using json = nlohmann::json;
using namespace std::string_literals;

// Long texts are judged sixteen bytes at a time: every well-formed and every
// bad sequence is tried at every offset of several blocks of ASCII and kana,
// and the check must stop exactly where the bad bytes begin (a reader keeps
// what comes before).
TEST(Utf8, ValidPrefixEndsExactlyAtTheFirstBadByte) {
    const std::string fill =
        "{\"pads\":[{\"label\":\"入場\",\"file\":\"効果音/入場.wav\"}],\"abcdefghij\":1}";
    for (const auto& good : {"\0"s, "日本語"s, "\xF0\x9F\x8E\xB5"s, "\xEF\xBF\xBF"s, "\xF4\x8F\xBF\xBF"s,
                             "\xC2\x80"s, "\xE0\xA0\x80"s, "\xED\x9F\xBF"s}) {
        for (std::size_t at = 0; at <= fill.size(); ++at) {
            if (at < fill.size() && (fill[at] & 0xC0) == 0x80) continue;  // inside a character
            const std::string text = fill.substr(0, at) + good + fill.substr(at);
            EXPECT_EQ(validUtf8Prefix(text), text.size()) << at;
        }
    }
    // Each bad sequence with the number of its bytes that are still good.
    for (const auto& [bad, kept] : {std::pair{"\x80"s, 0},
                                    {"\xBF\x80"s, 0},
                                    {"\xC0\xAF"s, 0},
                                    {"\xC1\xBF"s, 0},
                                    {"\xE0\x80\xAF"s, 0},
                                    {"\xE0\x9F\xBF"s, 0},
                                    {"\xED\xA0\x80"s, 0},
                                    {"\xF0\x8F\xBF\xBF"s, 0},
                                    {"\xF4\x90\x80\x80"s, 0},
                                    {"\xF5\x80\x80\x80"s, 0},
                                    {"\xF8\x88\x80\x80\x80"s, 0},
                                    {"\xFF"s, 0},
                                    {"\xE6\x97"s, 0},
                                    {"\xF0\x9F\x8E"s, 0},
                                    {"\xC3"s, 0},
                                    {"caf\xE9"s, 3},
                                    {"あ\x81"s, 3},
                                    {"\xE3\x81\x82\xBF"s, 3}}) {
        for (std::size_t at = 0; at <= fill.size(); ++at) {
            if (at < fill.size() && (fill[at] & 0xC0) == 0x80) continue;
            const std::string text = fill.substr(0, at) + bad + fill.substr(at);
            EXPECT_EQ(validUtf8Prefix(text), at + kept) << at << " " << bad.size();
        }
    }
    EXPECT_TRUE(isValidUtf8(""));
}

// Long texts are taken sixteen bytes at a time: every character that needs
// care is tried at every offset of several such blocks (bad bytes are the
// UTF-8 check's, above).
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
}

// A settings text is written into its script a piece at a time, as it is
// read; wherever the pieces are cut, the script is the same.
TEST(JsonText, LongTextIsWrittenIntoItsScriptPieceByPiece) {
    const nlohmann::ordered_json fields = {{"path", "/tmp/大会.json"}, {"name", "大会.json"}};
    const std::string opening = std::string(callback::importSamplerConfig) +
                                R"(({"path":"/tmp/大会.json","name":"大会.json","content":")";
    EXPECT_EQ(*callbackScriptOpening(callback::importSamplerConfig, fields, "content"), opening);
    const std::string fill = "{\"pads\":[{\"label\":\"入場\"}],\"abcdefghijklmnopqrstuvwxyz0123456789\":1}";
    for (const std::string special :
         {"\"", "\\", "\n", "\x01", "\xE2\x80\xA8", "\xE2\x80\xA9", "\xE2\x80\xA6", "あ"}) {
        const std::string text = fill + special + fill;
        const std::string expected = opening.substr(0, opening.size() - 1) + *jsonText(text) + "})";
        for (std::size_t cut = 0; cut <= text.size(); ++cut) {
            if (cut < text.size() && (text[cut] & 0xC0) == 0x80) continue;  // inside a character
            std::string script = opening;
            appendJsonStringContent(script, std::string_view(text).substr(0, cut));
            appendJsonStringContent(script, std::string_view(text).substr(cut));
            closeCallbackScriptWithText(script);
            EXPECT_EQ(script, expected) << cut;
        }
    }
    EXPECT_EQ(*callbackScriptOpening("f", json::object(), "content"), R"(f({"content":")");
    EXPECT_FALSE(callbackScriptOpening("f", {{"path", "\xFF"}}, "content").has_value());
}

}  // namespace
}  // namespace jaunvel
