#include "output/json_message.h"

#include <gtest/gtest.h>

namespace velmuro::output {
namespace {

TEST(JSONMessageTest, OnlyPresentFieldsAreWritten) {
  EXPECT_EQ(encodeJSONLine(statusMessage("muted")), R"({"status":"muted"})");
  EXPECT_EQ(encodeJSONLine(JSONMessage{}), "{}");

  JSONMessage permission = errorMessage("x");
  permission.errorCode = "permission_required";
  EXPECT_EQ(encodeJSONLine(permission), R"({"error":"x","errorCode":"permission_required"})");
}

TEST(JSONMessageTest, EmptyAddressListIsWrittenButAbsentOneIsNot) {
  JSONMessage message = statusMessage("ok");
  message.addresses = std::vector<std::string>{};
  EXPECT_EQ(encodeJSONLine(message), R"({"status":"ok","addresses":[]})");
  message.addresses = std::vector<std::string>{"a", ""};
  EXPECT_EQ(encodeJSONLine(message), R"({"status":"ok","addresses":["a",""]})");
  message.text = "";
  EXPECT_EQ(encodeJSONLine(message), R"({"status":"ok","addresses":["a",""],"text":""})");
}

TEST(JSONMessageTest, TextsAreEscapedAndStayOnOneLine) {
  JSONMessage message;
  message.text = "https://x.test/a\"b\\c\nd\te\x01\x7f";
  EXPECT_EQ(encodeJSONLine(message), R"({"text":"https:\/\/x.test\/a\"b\\c\nd\te\u0001)"
                                     "\x7f"
                                     R"("})");
}

TEST(JSONMessageTest, NonASCIIIsWrittenAsUTF8Bytes) {
  EXPECT_EQ(encodeJSONLine(errorMessage("Zo\xC3\xA9 \xE2\x82\xAC")),
            "{\"error\":\"Zo\xC3\xA9 \xE2\x82\xAC\"}");
}

TEST(JSONMessageTest, RecordThatIsNotValidUTF8IsDropped) {
  EXPECT_EQ(encodeJSONLine(errorMessage("bad \xFF byte")), std::nullopt);
  testing::internal::CaptureStdout();
  printJSON(errorMessage("bad \xFF byte"));
  printJSON(statusMessage("unmuted"));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "{\"status\":\"unmuted\"}\n");
}

}  // namespace
}  // namespace velmuro::output
