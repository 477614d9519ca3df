#include "discovery/decimal_pid.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>

namespace velmuro::discovery {
namespace {

TEST(DecimalPIDTest, ReadsPlainDigits) {
  EXPECT_EQ(parseDecimalPID("0"), 0);
  EXPECT_EQ(parseDecimalPID("611"), 611);
}

TEST(DecimalPIDTest, AcceptsOneLeadingSign) {
  EXPECT_EQ(parseDecimalPID("+5"), 5);
  EXPECT_EQ(parseDecimalPID("-5"), -5);
  EXPECT_EQ(parseDecimalPID("-0"), 0);
}

TEST(DecimalPIDTest, AcceptsLeadingZeros) {
  EXPECT_EQ(parseDecimalPID("007"), 7);
  EXPECT_EQ(parseDecimalPID("-007"), -7);
  EXPECT_EQ(parseDecimalPID("0000000000000000000042"), 42);
}

TEST(DecimalPIDTest, AcceptsBothEndsOfTheSigned32BitRange) {
  EXPECT_EQ(parseDecimalPID("2147483647"), std::numeric_limits<pid_t>::max());
  EXPECT_EQ(parseDecimalPID("+2147483647"), std::numeric_limits<pid_t>::max());
  EXPECT_EQ(parseDecimalPID("-2147483648"), std::numeric_limits<pid_t>::min());
}

TEST(DecimalPIDTest, RejectsValuesOutsideTheSigned32BitRange) {
  EXPECT_EQ(parseDecimalPID("2147483648"), std::nullopt);
  EXPECT_EQ(parseDecimalPID("-2147483649"), std::nullopt);
  EXPECT_EQ(parseDecimalPID("4294967296"), std::nullopt);
  EXPECT_EQ(parseDecimalPID("99999999999999999999999999999999"), std::nullopt);
  EXPECT_EQ(parseDecimalPID("-" + std::string(400, '9')), std::nullopt);
}

TEST(DecimalPIDTest, RejectsEmptyTextAndSignAlone) {
  EXPECT_EQ(parseDecimalPID(""), std::nullopt);
  EXPECT_EQ(parseDecimalPID("+"), std::nullopt);
  EXPECT_EQ(parseDecimalPID("-"), std::nullopt);
}

TEST(DecimalPIDTest, RejectsSurroundingWhitespace) {
  EXPECT_EQ(parseDecimalPID(" 7"), std::nullopt);
  EXPECT_EQ(parseDecimalPID("7 "), std::nullopt);
  EXPECT_EQ(parseDecimalPID("1\t"), std::nullopt);
  EXPECT_EQ(parseDecimalPID("12\r"), std::nullopt);
  EXPECT_EQ(parseDecimalPID("\n12"), std::nullopt);
  EXPECT_EQ(parseDecimalPID("- 5"), std::nullopt);
}

TEST(DecimalPIDTest, RejectsAnyOtherCharacter) {
  EXPECT_EQ(parseDecimalPID("12x"), std::nullopt);
  EXPECT_EQ(parseDecimalPID("x12"), std::nullopt);
  EXPECT_EQ(parseDecimalPID("++1"), std::nullopt);
  EXPECT_EQ(parseDecimalPID("+-1"), std::nullopt);
  EXPECT_EQ(parseDecimalPID("1-"), std::nullopt);
  EXPECT_EQ(parseDecimalPID("1.0"), std::nullopt);
  EXPECT_EQ(parseDecimalPID("0x1F"), std::nullopt);
  EXPECT_EQ(parseDecimalPID(std::string("1\0", 2)), std::nullopt);
  // Fullwidth digit one (U+FF11) is not an ASCII digit.
  EXPECT_EQ(parseDecimalPID("\xEF\xBC\x91"), std::nullopt);
}

}  // namespace
}  // namespace velmuro::discovery
