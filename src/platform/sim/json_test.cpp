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
  // Fractions in their shortest exact form, as the trace's times are written.
  EXPECT_EQ(dump(Value(0.1)), "0.1");
  EXPECT_EQ(dump(Value(1000.2)), "1000.2");
  EXPECT_EQ(dump(Value(1.0 / 3.0)), "0.3333333333333333");
}

TEST(JsonTest, NestingIsBoundedAtTheDocumentedDepth) {
  std::string deepest = std::string(kMaxDepth, '[') + std::string(kMaxDepth, ']');
  EXPECT_TRUE(parse(deepest));
  std::string error;
  EXPECT_FALSE(parse("[" + deepest + "]", &error));
  EXPECT_NE(error.find("nesting too deep"), std::string::npos) << error;
}

TEST(JsonTest, StringsThatAreNotUTF8AreRepairedWhereTheyAreRead) {
  std::optional<Value> value =
      parse("{\"id\xFF\": [\"a\xC3\", \"\xE2\x82\xAC\", \"\xED\xA0\x80z\"]}");
  ASSERT_TRUE(value);
  const auto& [name, list] = value->asObject().front();
  EXPECT_EQ(name, "id\xEF\xBF\xBD");
  EXPECT_EQ(list.asArray()[0].asString(), "a\xEF\xBF\xBD");
  EXPECT_EQ(list.asArray()[1].asString(), "\xE2\x82\xAC");  // valid UTF-8 is kept as it is
  EXPECT_EQ(list.asArray()[2].asString(), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBDz");
  // And whatever bytes a value built in C++ holds, its JSON text is valid UTF-8.
  EXPECT_EQ(dump(Value(Object{{"k\xFF", "\x80"}})), "{\"k\xEF\xBF\xBD\":\"\xEF\xBF\xBD\"}");
}

TEST(JsonTest, AMemberNameGivenTwiceIsRefusedAtItsPlace) {
  std::string error;
  EXPECT_FALSE(parse(R"({"trusted": true, "trusted": false})", &error));
  EXPECT_EQ(error, "member \"trusted\" given twice at offset 18");
  // Large objects are checked as well as small ones.
  std::string many = "{";
  for (int i = 0; i < 100; ++i)
    many += "\"m" + std::to_string(i) + "\": " + std::to_string(i) + ",";
  EXPECT_TRUE(parse(many + "\"last\": 0}"));
  EXPECT_FALSE(parse(many + "\"m7\": 0}", &error));
  EXPECT_NE(error.find("member \"m7\" given twice"), std::string::npos) << error;
  // The same name in different objects is no repeat.
  EXPECT_TRUE(parse(R"({"a": {"a": 1}, "b": [{"a": 2}, {"a": 3}]})"));
}

}  // namespace
}  // namespace velmuro::sim::json
