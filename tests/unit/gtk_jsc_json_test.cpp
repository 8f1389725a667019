#include <gtest/gtest.h>

#include "platform/gtk/gtk_jsc_json.h"
#include "platform/utf8.h"

namespace jaunvel {
namespace {

using json = nlohmann::json;

TEST(JscJson, PlainValuesParseAsTheyCame) {
    EXPECT_EQ(gtk::messageBodyFromJscJson(R"({"name":"大会.json","content":"{\"a\":[1,2.5]}\u0000"})"),
              json({{"name", "大会.json"}, {"content", std::string("{\"a\":[1,2.5]}\0", 14)}}));
    EXPECT_EQ(gtk::messageBodyFromJscJson("5"), 5);
    EXPECT_EQ(gtk::messageBodyFromJscJson(R"(["\\u00e9", "\ud83c\udfb5"])"),
              json::array({"\\u00e9", "\xF0\x9F\x8E\xB5"}));
    EXPECT_EQ(gtk::messageBodyFromJscJson("undefined"), nullptr);
    EXPECT_EQ(gtk::messageBodyFromJscJson(""), nullptr);
}

TEST(JscJson, UnpairedSurrogatesSurviveAsTextThatIsNotUtf8) {
    const json body =
        gtk::messageBodyFromJscJson(R"({"content":"a\ud800b","\udc00key":["x\udbff"],"z":"\udfff\ud800"})");
    ASSERT_TRUE(body.is_object());
    const std::string content = body["content"];
    EXPECT_EQ(content,
              "a\xED\xA0\x80"
              "b");
    EXPECT_FALSE(isValidUtf8(content));
    EXPECT_EQ(body["\xED\xB0\x80key"][0], "x\xED\xAF\xBF");
    EXPECT_EQ(body["z"], "\xED\xBF\xBF\xED\xA0\x80");
}

TEST(JscJson, ThePlaceholderCharacterOfThePageIsKeptExactly) {
    // U+FDEF raw, escaped, and right before an unpaired surrogate.
    const json body = gtk::messageBodyFromJscJson(
        "[\"\xEF\xB7\xAF\", \"\\ufdef\", \"\xEF\xB7\xAF\\ud800\", \"\xEF\xB7\xAF\xEE\x80\x80\"]");
    EXPECT_EQ(body, json::array({"\xEF\xB7\xAF", "\xEF\xB7\xAF", "\xEF\xB7\xAF\xED\xA0\x80",
                                 "\xEF\xB7\xAF\xEE\x80\x80"}));
    for (std::size_t i : {0u, 1u, 3u}) EXPECT_TRUE(isValidUtf8(body[i].get<std::string>()));
}

}  // namespace
}  // namespace jaunvel
