#include "tap/capture_permission.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include "platform/sim/world.h"

namespace velmuro::tap {
namespace {

class CapturePermissionTest : public ::testing::Test {
 protected:
  sim::World world;
  sim::SimCapturePrivacy privacy{world};
};

TEST_F(CapturePermissionTest, PreflightResultMapsToTheFourWords) {
  const std::pair<std::intptr_t, const char*> cases[] = {
      {0, "granted"}, {1, "denied"}, {2, "undetermined"}, {-1, "undetermined"}};
  for (auto [value, word] : cases) {
    world.privacy.preflight = value;
    EXPECT_EQ(audioCapturePermissionStatus(privacy), word) << value;
  }
}

TEST_F(CapturePermissionTest, MissingFrameworkOrEntryPointIsUnknown) {
  world.privacy.entryPointPresent = false;
  EXPECT_EQ(audioCapturePermissionStatus(privacy), "unknown");
  world.privacy.frameworkPresent = false;
  EXPECT_EQ(audioCapturePermissionStatus(privacy), "unknown");
  EXPECT_EQ(world.log.count("TCCAccessPreflight"), 0u);
}

TEST_F(CapturePermissionTest, LoadsTheFrameworkAndAsksForTheAudioCaptureService) {
  audioCapturePermissionStatus(privacy);
  auto entries = world.log.entries();
  ASSERT_EQ(entries.size(), 3u);
  sim::json::Value open(entries[0].arguments), symbol(entries[1].arguments),
      call(entries[2].arguments);
  EXPECT_EQ(open.find("path")->asString(), "/System/Library/PrivateFrameworks/TCC.framework/TCC");
  EXPECT_EQ(open.find("mode")->asNumber(), RTLD_NOW);
  EXPECT_EQ(symbol.find("symbol")->asString(), "TCCAccessPreflight");
  EXPECT_EQ(call.find("service")->asString(), "kTCCServiceAudioCapture");
}

}  // namespace
}  // namespace velmuro::tap
