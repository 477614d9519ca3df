#include "tap/permission_probe.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "platform/sim/world.h"
#include "tap/tap_chain.h"

namespace velmuro::tap {
namespace {

using platform::fourCharCode;

class PermissionProbeTest : public ::testing::Test {
 protected:
  PermissionProbeTest() {
    world.audio.processes = {{11, ::getpid(), std::nullopt, true}, {12, 612, "a.b", true}};
    world.privacy.preflight = 2;
  }
  std::string request(std::string* printed = nullptr) {
    ::testing::internal::CaptureStdout();
    std::string word = requestAudioCapturePermission(audio, privacy);
    std::string out = ::testing::internal::GetCapturedStdout();
    if (printed) *printed = out;
    return word;
  }
  std::vector<sim::json::Value> probes() const {
    std::vector<sim::json::Value> found;
    for (const auto& entry : world.log.callsNamed("AudioHardwareCreateProcessTap")) {
      found.emplace_back(entry.arguments);
    }
    return found;
  }

  sim::World world;
  sim::SimAudioHardware audio{world};
  sim::SimCapturePrivacy privacy{world};
};

TEST_F(PermissionProbeTest, DecidedStateIsReturnedWithoutAProbe) {
  for (std::intptr_t decided : {0, 1}) {
    world.privacy.preflight = decided;
    EXPECT_EQ(request(), decided == 0 ? "granted" : "denied");
  }
  EXPECT_TRUE(probes().empty());
}

TEST_F(PermissionProbeTest, UndecidedStateProbesAnotherProcessUnmutedAndReadsAgain) {
  world.privacy.afterPrompt = 0;  // the user grants when asked
  std::string printed;
  EXPECT_EQ(request(&printed), "granted");
  EXPECT_EQ(printed, "");
  auto made = probes();
  ASSERT_EQ(made.size(), 1u);
  EXPECT_EQ(made[0].find("name")->asString(), "QuorvaneSotellePermissionProbe");
  EXPECT_EQ(made[0].find("muteBehavior")->asNumber(), 0);
  EXPECT_EQ(made[0].find("processes")->asArray().at(0).asNumber(), 12);
  // Never silenced anything, and taken down at once.
  for (const auto& entry : world.log.entries()) {
    sim::json::Value arguments(entry.arguments);
    if (const auto* silenced = arguments.find("silenced")) {
      EXPECT_TRUE(silenced->asArray().empty()) << entry.call;
    }
  }
  EXPECT_TRUE(world.audio.taps.empty());
  EXPECT_TRUE(world.audio.devices.empty());
}

TEST_F(PermissionProbeTest, RefusedProbeIsSilentAndTheStateIsReadAgain) {
  world.privacy.afterPrompt = 1;  // the user denies
  std::string printed;
  EXPECT_EQ(request(&printed), "denied");
  EXPECT_EQ(printed, "");
  EXPECT_EQ(world.log.count("TCCAccessPreflight"), 2u);
}

TEST_F(PermissionProbeTest, OnlyOwnProcessListedMeansNoProbe) {
  world.audio.processes.resize(1);
  EXPECT_EQ(request(), "undetermined");
  EXPECT_TRUE(probes().empty());
}

TEST_F(PermissionProbeTest, ObjectWhosePIDCannotBeReadIsProbed) {
  world.audio.faults.push_back({.call = "AudioObjectGetPropertyData",
                                .selector = fourCharCode("ppid"),
                                .object = 11,
                                .status = -1});
  request();
  ASSERT_EQ(probes().size(), 1u);
  EXPECT_EQ(probes()[0].find("processes")->asArray().at(0).asNumber(), 11);
}

TEST_F(PermissionProbeTest, MissingFrameworkStillProbesAndSaysUnknown) {
  world.privacy.frameworkPresent = false;
  world.privacy.preflight = 0;
  EXPECT_EQ(request(), "unknown");
  EXPECT_EQ(probes().size(), 1u);
}

TEST_F(PermissionProbeTest, LateProbeFailureIsPrintedBeforeTheWord) {
  world.privacy.afterPrompt = 0;
  world.audio.faults.push_back({.call = "AudioDeviceStart", .status = -50});
  std::string printed;
  EXPECT_EQ(request(&printed), "granted");
  EXPECT_EQ(printed, "{\"error\":\"AudioDeviceStart failed: -50\"}\n");
  EXPECT_EQ(tapObjectID, 0u);
  EXPECT_TRUE(world.audio.taps.empty());
}

}  // namespace
}  // namespace velmuro::tap
