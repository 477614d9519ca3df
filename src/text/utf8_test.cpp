#include "text/utf8.h"

#include <gtest/gtest.h>

namespace velmuro::text {
namespace {

constexpr const char* kFFFD = "\xEF\xBF\xBD";

TEST(UTF8Test, WellFormedTextPassesUnchanged) {
  for (const char* s : {"", "plain", "caf\xC3\xA9", "\xE2\x82\xAC 5", "\xF0\x9F\x8E\xA7 on"}) {
    EXPECT_TRUE(isValidUTF8(s)) << s;
    EXPECT_EQ(toValidUTF8(s), s);
  }
}

TEST(UTF8Test, EachMaximalInvalidSubpartBecomesOneReplacement) {
  // A stray continuation byte, a lone lead byte, and a truncated three-byte sequence.
  EXPECT_EQ(toValidUTF8("a\x80z"), std::string("a") + kFFFD + "z");
  EXPECT_EQ(toValidUTF8("a\xC3"), std::string("a") + kFFFD);
  EXPECT_EQ(toValidUTF8("\xE2\x82z"), std::string(kFFFD) + "z");
  // Two stray bytes are two subparts.
  EXPECT_EQ(toValidUTF8("\xFF\xFE"), std::string(kFFFD) + kFFFD);
}

TEST(UTF8Test, OverlongSurrogateAndOutOfRangeFormsAreRejected) {
  for (const char* s :
       {"\xC0\xAF", "\xE0\x80\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xF5\x80"}) {
    EXPECT_FALSE(isValidUTF8(s)) << s;
    EXPECT_TRUE(isValidUTF8(toValidUTF8(s)));
  }
  // An encoded surrogate: the lead byte is a subpart of its own, then two stray continuations.
  EXPECT_EQ(toValidUTF8("\xED\xA0\x80"), std::string(kFFFD) + kFFFD + kFFFD);
}

}  // namespace
}  // namespace velmuro::text
