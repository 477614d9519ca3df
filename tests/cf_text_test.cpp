// The CoreFoundation side of the macOS backend's text conversion. It needs CoreFoundation, so it
// is built on a Mac only (cmake/Apple.cmake adds cf_text.cpp to the tests there); elsewhere this
// file is empty. The UTF-16 conversion it falls back on is tested everywhere (utf16_text_test.cpp).
#ifdef __APPLE__

#include "platform/macos/cf_text.h"

#include <CoreFoundation/CoreFoundation.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace velmuro::macos {
namespace {

using std::string_literals::operator""s;

const std::string kReplacement = "\xEF\xBF\xBD";

// The text of a CFString made of these UTF-16 units.
std::string textOfUnits(const std::vector<UniChar>& units) {
  CFStringRef string = CFStringCreateWithCharacters(kCFAllocatorDefault, units.data(),
                                                    static_cast<CFIndex>(units.size()));
  std::string text = textOfCFString(string);
  CFRelease(string);
  return text;
}

// The text of the CFString made from these UTF-8 bytes, as the backend makes its strings.
std::string roundTrip(const std::string& utf8) {
  CFStringRef string = createCFString(utf8);
  if (string == nullptr) return "(no string)";
  std::string text = textOfCFString(string);
  CFRelease(string);
  return text;
}

// Strings made from UTF-8 bytes and from UTF-16 units: Core Foundation may store either 8 or 16
// bits a character.
TEST(CFTextTest, TextAfterU0000IsKept) {
  EXPECT_EQ(textOfUnits({'a', 0, 'b'}), "a\0b"s);
  EXPECT_EQ(textOfUnits({0}), "\0"s);
  EXPECT_EQ(textOfUnits({0x00E9, 0, 0x20AC}), "\xC3\xA9\0\xE2\x82\xAC"s);
  EXPECT_EQ(roundTrip("zoom.us/j/1\0?pwd=x"s), "zoom.us/j/1\0?pwd=x"s);
  EXPECT_EQ(roundTrip("\0\0"s), "\0\0"s);
}

TEST(CFTextTest, LoneSurrogatesBecomeReplacementCharactersAndTheRestStays) {
  EXPECT_EQ(textOfUnits({'a', 0xD83C}), "a" + kReplacement);
  EXPECT_EQ(textOfUnits({0xDFA7, 0, 'b'}), kReplacement + "\0b"s);
  EXPECT_EQ(textOfUnits({0xD83C, 0xDFA7, 0xD83C}), "\xF0\x9F\x8E\xA7" + kReplacement);
}

TEST(CFTextTest, EveryPlaneAndTheEmptyString) {
  EXPECT_EQ(roundTrip("Z\xC3\xA9\xE2\x82\xAC\xF0\x9F\x8E\xA7"),
            "Z\xC3\xA9\xE2\x82\xAC\xF0\x9F\x8E\xA7");
  EXPECT_EQ(roundTrip(""), "");
  EXPECT_EQ(textOfCFString(nullptr), "");
  EXPECT_EQ(createCFString("\xFF"), nullptr);  // bytes that are not UTF-8 make no string
}

}  // namespace
}  // namespace velmuro::macos

#endif  // __APPLE__
