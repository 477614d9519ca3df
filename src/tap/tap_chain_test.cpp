#include "tap/tap_chain.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <regex>

#include "platform/sim/world.h"

namespace velmuro::tap {
namespace {

using platform::fourCharCode;
using platform::OSStatus;
using ::testing::ElementsAre;

constexpr const char* kPermissionLine =
    "{\"error\":\"Screen & System Audio Recording permission required. Grant it in System "
    "Settings > Privacy & Security.\",\"errorCode\":\"permission_required\"}\n";

class TapChainTest : public ::testing::Test {
 protected:
  TapChainTest() {
    world.audio.processes = {{11, 611, "us.zoom.xos", true}, {12, 612, "b.c", true}};
  }
  ~TapChainTest() override { destroyTap(audio); }

  void fail(const char* call, OSStatus status) {
    world.audio.faults.push_back({.call = call, .status = status});
  }
  // Runs a mute and gives what it printed.
  std::string mute(std::vector<platform::AudioObjectID> objects, bool* result = nullptr) {
    ::testing::internal::CaptureStdout();
    bool ok = createTap(audio, privacy, objects);
    if (result) *result = ok;
    return ::testing::internal::GetCapturedStdout();
  }
  bool chainIsEmpty() const {
    return tapObjectID == 0 && aggregateDeviceID == 0 && !ioProcID && world.audio.taps.empty() &&
           world.audio.devices.empty() && world.audio.ioProcs.empty();
  }

  sim::World world;
  sim::SimAudioHardware audio{world};
  sim::SimCapturePrivacy privacy{world};
};

TEST_F(TapChainTest, MuteBuildsTheChainAndSilencesOnlyTheTargets) {
  bool ok = false;
  EXPECT_EQ(mute({11}, &ok), "");
  EXPECT_TRUE(ok);
  EXPECT_THAT(sim::silencedProcesses(world.audio), ElementsAre(11u));
  EXPECT_THAT(world.log.calls(),
              ElementsAre("AudioHardwareCreateProcessTap", "AudioObjectGetPropertyData",
                          "AudioHardwareCreateAggregateDevice", "AudioDeviceCreateIOProcID",
                          "AudioDeviceStart"));
  const sim::SimTap& tap = world.audio.taps.at(0);
  EXPECT_EQ(tap.description.name, "QuorvaneSotelleTap");
  EXPECT_TRUE(tap.description.isPrivate);
  EXPECT_EQ(tap.description.muteBehavior, platform::TapMuteBehavior::kMutedWhenTapped);
  const platform::AggregateDeviceDescription& device = world.audio.devices.at(0).description;
  ASSERT_EQ(device.taps.size(), 1u);
  EXPECT_EQ(device.taps[0].uid, tap.uid);
  // The IO procedure ran once on start, returned 0 and registered with no client data.
  sim::json::Value start(world.log.callsNamed("AudioDeviceStart")[0].arguments);
  EXPECT_EQ(start.find("ioProcResult")->asNumber(), 0);
  sim::json::Value create(world.log.callsNamed("AudioDeviceCreateIOProcID")[0].arguments);
  EXPECT_TRUE(create.find("clientData")->isNull());

  destroyTap(audio);
  EXPECT_TRUE(chainIsEmpty());
  EXPECT_TRUE(sim::silencedProcesses(world.audio).empty());
}

TEST_F(TapChainTest, GlobalTapSilencesEverythingButTheExcluded) {
  world.audio.processes.push_back({13, 613, std::nullopt, false});
  ::testing::internal::CaptureStdout();
  EXPECT_TRUE(createGlobalTap(audio, privacy, {12}));
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
  EXPECT_THAT(sim::silencedProcesses(world.audio), ElementsAre(11u, 13u));
  EXPECT_EQ(world.audio.taps.at(0).description.initializer,
            platform::TapInitializer::kStereoGlobalTapButExcludeProcesses);
}

TEST_F(TapChainTest, TeardownRunsInReverseOrderAndASecondTeardownDoesNothing) {
  mute({11});
  world.log = {};
  destroyTap(audio);
  EXPECT_THAT(world.log.calls(),
              ElementsAre("AudioDeviceStop", "AudioDeviceDestroyIOProcID",
                          "AudioHardwareDestroyAggregateDevice", "AudioHardwareDestroyProcessTap"));
  world.log = {};
  destroyTap(audio);
  EXPECT_TRUE(world.log.calls().empty());
}

TEST_F(TapChainTest, PermissionsErrorIsReportedWithoutAskingThePrivacyService) {
  fail("AudioHardwareCreateProcessTap", platform::kAudioDevicePermissionsError);
  bool ok = true;
  EXPECT_EQ(mute({11}, &ok), kPermissionLine);
  EXPECT_FALSE(ok);
  EXPECT_EQ(world.log.count("TCCAccessPreflight"), 0u);
  EXPECT_EQ(world.log.count("dlopen"), 0u);
  EXPECT_TRUE(chainIsEmpty());
  EXPECT_EQ(world.log.count("AudioHardwareDestroyProcessTap"), 0u);
}

TEST_F(TapChainTest, AmbiguousRefusalAsksThePrivacyService) {
  fail("AudioHardwareCreateProcessTap", platform::kAudioHardwareIllegalOperationError);
  EXPECT_EQ(mute({11}),
            "{\"error\":\"AudioHardwareCreateProcessTap failed: 1852797029 (nope)\"}\n");
  world.privacy.frameworkPresent = false;  // "unknown" counts as missing permission
  EXPECT_EQ(mute({11}), kPermissionLine);
  world.privacy.frameworkPresent = true;
  world.audio.faults[0].status = platform::kAudioHardwareBadObjectError;
  world.privacy.preflight = 2;
  EXPECT_EQ(mute({11}), kPermissionLine);
}

TEST_F(TapChainTest, OtherRefusalsNameTheStatus) {
  fail("AudioHardwareCreateProcessTap", -50);
  EXPECT_EQ(mute({11}), "{\"error\":\"AudioHardwareCreateProcessTap failed: -50\"}\n");
  EXPECT_TRUE(chainIsEmpty());
}

TEST_F(TapChainTest, LateFailuresPrintSignedDecimalAndUndoWhatWasMade) {
  struct Case {
    const char* call;
    const char* line;
    std::vector<std::string> teardown;
  };
  const std::vector<Case> cases = {
      {"AudioObjectGetPropertyData",
       "{\"error\":\"Failed to get tap UID: -50\"}\n",
       {"AudioHardwareDestroyProcessTap"}},
      {"AudioHardwareCreateAggregateDevice",
       "{\"error\":\"AudioHardwareCreateAggregateDevice failed: -50\"}\n",
       {"AudioHardwareDestroyProcessTap"}},
      {"AudioDeviceCreateIOProcID",
       "{\"error\":\"AudioDeviceCreateIOProcID failed: -50\"}\n",
       {"AudioHardwareDestroyAggregateDevice", "AudioHardwareDestroyProcessTap"}},
      {"AudioDeviceStart",
       "{\"error\":\"AudioDeviceStart failed: -50\"}\n",
       {"AudioDeviceStop", "AudioDeviceDestroyIOProcID", "AudioHardwareDestroyAggregateDevice",
        "AudioHardwareDestroyProcessTap"}},
  };
  for (const Case& c : cases) {
    world.audio.faults = {{.call = c.call, .selector = std::nullopt, .status = -50}};
    if (std::string(c.call) == "AudioObjectGetPropertyData") {
      world.audio.faults[0].selector = fourCharCode("tuid");
    }
    world.log = {};
    bool ok = true;
    EXPECT_EQ(mute({11}, &ok), c.line);
    EXPECT_FALSE(ok);
    std::vector<std::string> calls = world.log.calls();
    auto failed = std::find(calls.begin(), calls.end(), c.call);
    ASSERT_NE(failed, calls.end());
    EXPECT_EQ(std::vector<std::string>(failed + 1, calls.end()), c.teardown) << c.call;
    EXPECT_TRUE(chainIsEmpty()) << c.call;
    EXPECT_TRUE(sim::silencedProcesses(world.audio).empty());
  }
}

TEST_F(TapChainTest, SilentInstallStillReportsLateFailures) {
  fail("AudioHardwareCreateProcessTap", -50);
  ::testing::internal::CaptureStdout();
  EXPECT_FALSE(installTap(audio, privacy, probeTapDescription(11), false));
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");

  world.audio.faults = {{.call = "AudioHardwareCreateAggregateDevice", .status = -1}};
  ::testing::internal::CaptureStdout();
  EXPECT_FALSE(installTap(audio, privacy, probeTapDescription(11), false));
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "{\"error\":\"AudioHardwareCreateAggregateDevice failed: -1\"}\n");
  EXPECT_TRUE(chainIsEmpty());
}

TEST(TapDescriptionTest, DescriptionsCarryTheFixedNamesAndFlags) {
  platform::TapDescription probe = probeTapDescription(7);
  EXPECT_EQ(probe.initializer, platform::TapInitializer::kStereoMixdownOfProcesses);
  EXPECT_EQ(probe.processes, std::vector<platform::AudioObjectID>{7});
  EXPECT_EQ(probe.name, "QuorvaneSotellePermissionProbe");
  EXPECT_TRUE(probe.isPrivate);
  EXPECT_EQ(probe.muteBehavior, platform::TapMuteBehavior::kUnmuted);

  platform::AggregateDeviceDescription device = aggregateDeviceDescription("TAP-UID", "ABC");
  EXPECT_EQ(device.name, "QuorvaneSotelleAggDevice");
  EXPECT_EQ(device.uid, "com.quorvane.sotelle.agg-ABC");
  ASSERT_EQ(device.taps.size(), 1u);
  EXPECT_EQ(device.taps[0].uid, "TAP-UID");
  EXPECT_TRUE(device.taps[0].driftCompensation);
  EXPECT_FALSE(device.tapAutoStart);
  EXPECT_TRUE(device.isPrivate);
}

TEST(TapDescriptionTest, UUIDsAreFreshCanonicalAndUpperCase) {
  EXPECT_EQ(formatUUID({0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xaa, 0xbb,
                        0xcc, 0xdd, 0xee, 0xff}),
            "00112233-4455-6677-8899-AABBCCDDEEFF");
  const std::regex form("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}");
  std::string a = randomUUIDString(), b = randomUUIDString();
  EXPECT_TRUE(std::regex_match(a, form)) << a;
  EXPECT_NE(a, b);
}

TEST(DescribeOSStatusTest, PrintableCodesGetTheirCharacters) {
  EXPECT_EQ(describeOSStatus(1852797029), "1852797029 (nope)");
  EXPECT_EQ(describeOSStatus(560947818), "560947818 (!obj)");
  EXPECT_EQ(describeOSStatus(0x20202020), "538976288 (    )");
  EXPECT_EQ(describeOSStatus(0x7E7E7E7E), "2122219134 (~~~~)");
  EXPECT_EQ(describeOSStatus(-50), "-50");
  EXPECT_EQ(describeOSStatus(0), "0");
  EXPECT_EQ(describeOSStatus(0x6E6F701F), "1852796959");  // one byte below space
  EXPECT_EQ(describeOSStatus(0x6E6F707F), "1852797055");  // one byte above tilde
}

}  // namespace
}  // namespace velmuro::tap
