#include "platform/sim/json.h"

#include <gtest/gtest.h>

namespace velmuro::sim::json {
namespace {

TEST(JsonTest, ParsesEveryKindAndKeepsMemberOrder) {
  std::optional<Value> value = parse(R"( {"b": [1, -2.5e1, true, false, null], "a": {"s": "x"}} )");
  ASSERT_TRUE(value);
  EXPECT_EQ(dump(*value), R"({"b":[1,-25,true,false,null],"a":{"s":"x"}})");
  EXPECT_EQ(value->find("a")->find("s")->asString(), "x");
  EXPECT_EQ(value->find("missing"), nullptr);
}

TEST(JsonTest, DecodesEscapesAndSurrogatePairs) {
  std::optional<Value> value = parse(R"(["\"\\\/\b\f\n\r\t", "\u00e9\u20AC\ud83c\udfa7"])");
  ASSERT_TRUE(value);
  EXPECT_EQ(value->asArray()[0].asString(), "\"\\/\b\f\n\r\t");
  EXPECT_EQ(value->asArray()[1].asString(), "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x8E\xA7");
  // A lone surrogate cannot be UTF-8: it becomes U+FFFD, and the text after it survives.
  EXPECT_EQ(parse(R"("\ud83cx")")->asString(), "\xEF\xBF\xBDx");
  EXPECT_EQ(parse(R"("\udfa7")")->asString(), "\xEF\xBF\xBD");
}

TEST(JsonTest, RejectsMalformedTextWithItsPlace) {
  for (const char* text : {"", "{", "[1,]", "{\"a\" 1}", "\"open", "tru", "1 2", "[\"\x01\"]",
                           "\"\\q\"", "\"\\u12\"", "-", "{1:2}"}) {
    std::string error;
    EXPECT_FALSE(parse(text, &error)) << text;
    EXPECT_NE(error.find("offset"), std::string::npos) << text;
  }
  std::string deep(1000, '[');
  EXPECT_FALSE(parse(deep));
}

TEST(JsonTest, DumpEscapesControlCharacters) {
  EXPECT_EQ(dump(Value("a\"\\\n\x02")), R"("a\"\\\n\u0002")");
  EXPECT_EQ(dump(Value(4294967295u)), "4294967295");
  EXPECT_EQ(dump(Value(0.5)), "0.5");
}

}  // namespace
}  // namespace velmuro::sim::json
