// The macOS backend's UTF-16 conversion is portable, so it is checked here too.
#include "platform/macos/utf16_text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "text/utf8.h"

namespace velmuro::macos {
namespace {

using std::string_literals::operator""s;

std::string convert(const std::vector<std::uint16_t>& units) {
  return utf16ToUTF8Lossy(units.data(), units.size());
}

TEST(UTF16TextTest, ConvertsEachPlaneToUTF8) {
  EXPECT_EQ(convert({'Z', 0x00E9, 0x20AC}), "Z\xC3\xA9\xE2\x82\xAC");
  EXPECT_EQ(convert({0xD83C, 0xDFA7}), "\xF0\x9F\x8E\xA7");  // a surrogate pair
  EXPECT_EQ(convert({0x07FF, 0x0800, 0xFFFF}), "\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF");
}

TEST(UTF16TextTest, UnpairedSurrogatesBecomeReplacementCharacters) {
  const std::string fffd = "\xEF\xBF\xBD";
  EXPECT_EQ(convert({0xD83C}), fffd);             // high at the end
  EXPECT_EQ(convert({0xDFA7, 'a'}), fffd + "a");  // low alone
  EXPECT_EQ(convert({0xD83C, 'a', 0xDFA7}), fffd + "a" + fffd);
  EXPECT_EQ(convert({0xD83C, 0xD83C, 0xDFA7}), fffd + "\xF0\x9F\x8E\xA7");
  EXPECT_TRUE(text::isValidUTF8(convert({0xDBFF, 0xDC00, 0xDC00, 0xD800})));
}

TEST(UTF16TextTest, U0000IsACharacterLikeAnyOther) {
  const std::string fffd = "\xEF\xBF\xBD";
  EXPECT_EQ(convert({'a', 0, 'b'}), "a\0b"s);
  EXPECT_EQ(convert({0, 0}), "\0\0"s);
  EXPECT_EQ(convert({0x00E9, 0, 0x20AC, 0}), "\xC3\xA9\0\xE2\x82\xAC\0"s);
  // U+0000 between the halves of a pair leaves each half unpaired.
  EXPECT_EQ(convert({0xD83C, 0, 0xDFA7}), fffd + "\0"s + fffd);
  EXPECT_EQ(convert({'x', 0xDFA7, 0, 0xD83C, 0xDFA7, 0}), "x" + fffd + "\0\xF0\x9F\x8E\xA7\0"s);
}

}  // namespace
}  // namespace velmuro::macos
