#include "platform/sim/audio_model.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "platform/sim/world.h"

namespace velmuro::sim {
namespace {

std::unique_ptr<World> load(const std::string& text, std::string* error = nullptr) {
  return loadWorld(text, error);
}

std::string loadError(const std::string& text) {
  std::string error;
  EXPECT_EQ(load(text, &error), nullptr) << text;
  return error;
}

TEST(AudioWorldTest, ReadsProcessesFaultsAndPrivacy) {
  auto world = load(R"({"audio": {
      "processes": [{"id": 11, "pid": 611, "bundleId": "a.b", "output": true},
                    {"id": 12, "pid": "self", "bundleId": null}],
      "faults": [{"call": "AudioDeviceStart", "object": 5, "status": "!hog"},
                 {"call": "AudioObjectGetPropertyData", "selector": "prs#", "entriesWritten": 1},
                 {"call": "AudioObjectGetPropertyDataSize", "size": 3, "status": -50}]},
    "privacy": {"framework": false, "entryPoint": false, "preflight": 2, "afterPrompt": 1}})");
  ASSERT_NE(world, nullptr);
  const auto& processes = world->audio.processes;
  ASSERT_EQ(processes.size(), 2u);
  EXPECT_EQ(processes[0].bundleId, "a.b");
  EXPECT_TRUE(processes[0].runningOutput);
  EXPECT_EQ(processes[1].pid, ::getpid());
  EXPECT_EQ(processes[1].bundleId, std::nullopt);
  const auto& faults = world->audio.faults;
  ASSERT_EQ(faults.size(), 3u);
  EXPECT_EQ(faults[0].status, platform::kAudioDevicePermissionsError);
  EXPECT_EQ(faults[0].object, 5u);
  EXPECT_EQ(faults[1].selector, platform::kAudioHardwarePropertyProcessObjectList);
  EXPECT_EQ(faults[1].entriesWritten, 1u);
  EXPECT_EQ(faults[2].size, 3u);
  EXPECT_EQ(faults[2].status, -50);
  EXPECT_FALSE(world->privacy.frameworkPresent);
  EXPECT_FALSE(world->privacy.entryPointPresent);
  EXPECT_EQ(world->privacy.preflight, 2);
  EXPECT_EQ(world->privacy.afterPrompt, 1);
}

TEST(AudioWorldTest, EmptyWorldHasNoProcessesAndGrantedPermission) {
  auto world = load("{}");
  ASSERT_NE(world, nullptr);
  EXPECT_TRUE(world->audio.processes.empty());
  EXPECT_EQ(world->privacy.preflight, 0);
}

TEST(AudioWorldTest, MistakesAreNamed) {
  EXPECT_NE(loadError("[]").find("one JSON object"), std::string::npos);
  EXPECT_NE(loadError("{").find("not valid JSON"), std::string::npos);
  EXPECT_NE(loadError(R"({"audio":{"procs":[]}})").find("\"procs\""), std::string::npos);
  EXPECT_NE(loadError(R"({"audio":{"processes":[{"id":1}]}})").find("audio.processes[0].id"),
            std::string::npos);
  EXPECT_NE(loadError(R"({"audio":{"processes":[{"id":5},{"id":5}]}})").find("twice"),
            std::string::npos);
  EXPECT_NE(loadError(R"({"audio":{"processes":[{"id":5,"pid":"me"}]}})").find("pid"),
            std::string::npos);
  EXPECT_NE(loadError(R"({"audio":{"faults":[{"status":1}]}})").find("call"), std::string::npos);
  EXPECT_NE(loadError(R"({"audio":{"faults":[{"call":"x","selector":"ppidx"}]}})").find("selector"),
            std::string::npos);
  EXPECT_NE(loadError(R"({"privacy":{"preflight":"yes"}})").find("preflight"), std::string::npos);
}

TEST(AudioWorldTest, AWorldHoldsOnlyTheSectionsItDocuments) {
  EXPECT_EQ(loadError(R"({"bogus": 1})"),
            "unknown member \"bogus\" (a world file holds audio, privacy, accessibility, "
            "applications, pasteboard, timeline)");
  EXPECT_NE(loadError(R"({"audio": {}, "Timeline": []})").find("\"Timeline\""), std::string::npos);
  EXPECT_NE(load(R"({"audio": {}, "privacy": {}, "accessibility": {}, "applications": [],
                     "pasteboard": {}, "timeline": []})"),
            nullptr);
}

TEST(AudioWorldTest, FaultsNameOnlyCallsAndSelectorsTheToolUses) {
  auto fault = [](const std::string& member) {
    return R"({"audio": {"faults": [{"status": -1, )" + member + "}]}}";
  };
  for (const char* call : {"AudioObjectGetPropertyDataSize", "AudioObjectGetPropertyData",
                           "AudioHardwareCreateProcessTap", "AudioHardwareDestroyProcessTap",
                           "AudioHardwareCreateAggregateDevice",
                           "AudioHardwareDestroyAggregateDevice", "AudioDeviceCreateIOProcID",
                           "AudioDeviceDestroyIOProcID", "AudioDeviceStart", "AudioDeviceStop"}) {
    EXPECT_NE(load(fault(R"("call": ")" + std::string(call) + "\"")), nullptr) << call;
  }
  for (const char* selector : {"prs#", "id2p", "ppid", "pbid", "piro", "tuid"}) {
    for (const char* call : {"AudioObjectGetPropertyDataSize", "AudioObjectGetPropertyData"}) {
      EXPECT_NE(
          load(fault(R"("call": ")" + std::string(call) + R"(", "selector": ")" + selector + "\"")),
          nullptr)
          << call << " " << selector;
    }
  }
  EXPECT_NE(load(fault(R"("call": "AudioObjectGetPropertyData", "selector": 1886548771)")),
            nullptr);  // 'prs#' as a number

  const std::pair<std::string, std::string> mistakes[] = {
      {fault(R"("call": "AudioDeviceStrat")"),
       "audio.faults[0].call: \"AudioDeviceStrat\" is not a call the tool makes"},
      {fault(R"("call": "audiodevicestart")"), "is not a call the tool makes"},
      {fault(R"("call": "AudioObjectGetPropertyData", "selector": "pbiD")"),
       "audio.faults[0].selector: not a selector the tool reads"},
      {fault(R"("call": "AudioObjectGetPropertyData", "selector": 1)"), "not a selector"},
      {fault(R"("call": "AudioDeviceStart", "selector": "prs#")"),
       "audio.faults[0].selector: only AudioObjectGetPropertyDataSize and "
       "AudioObjectGetPropertyData take a selector"},
      {fault(R"("call": "AudioObjectGetPropertyData", "size": 2)"), "audio.faults[0].size: only"},
      {fault(R"("call": "AudioObjectGetPropertyDataSize", "entriesWritten": 2)"),
       "audio.faults[0].entriesWritten: only the process-list read"},
      {fault(R"("call": "AudioObjectGetPropertyData", "selector": "ppid", "entriesWritten": 2)"),
       "entriesWritten: only the process-list read"},
      {R"({"audio": {"faults": [{"call": "AudioDeviceStart", "object": 5}]}})",
       "audio.faults[0]: give \"status\", \"size\" or \"entriesWritten\""},
  };
  for (const auto& [text, message] : mistakes) {
    std::string error = loadError(text);
    EXPECT_NE(error.find(message), std::string::npos) << error << " for " << text;
  }
}

class SilencedTest : public ::testing::Test {
 protected:
  SilencedTest() {
    world.audio.processes = {{11, 1, {}, false}, {12, 2, {}, false}, {13, 3, {}, false}};
  }

  platform::AudioObjectID tap(platform::TapInitializer initializer,
                              std::vector<platform::AudioObjectID> processes,
                              platform::TapMuteBehavior behavior) {
    platform::AudioObjectID id = 0;
    EXPECT_EQ(audio.createProcessTap({initializer, processes, "t", true, behavior}, id), 0);
    return id;
  }
  // An aggregate device over the tap, with a started IO procedure.
  void run(platform::AudioObjectID tapID, const std::string& uid) {
    std::string tapUID;
    audio.getStringPropertyData(tapID, {platform::kAudioTapPropertyUID, 0, 0}, tapUID);
    platform::AudioObjectID device = 0;
    ASSERT_EQ(audio.createAggregateDevice({"d", uid, {{tapUID, true}}, false, true}, device), 0);
    platform::AudioDeviceIOProcID proc{};
    auto noOp = [](platform::AudioObjectID, const void*, const void*, const void*, void*,
                   const void*, void*) -> platform::OSStatus { return 0; };
    ASSERT_EQ(audio.createIOProcID(device, noOp, nullptr, proc), 0);
    ASSERT_EQ(audio.deviceStart(device, proc), 0);
  }

  World world;
  SimAudioHardware audio{world};
};

TEST_F(SilencedTest, MutedWhenTappedNeedsARunningDevice) {
  platform::AudioObjectID id = tap(platform::TapInitializer::kStereoMixdownOfProcesses, {12},
                                   platform::TapMuteBehavior::kMutedWhenTapped);
  EXPECT_TRUE(silencedProcesses(world.audio).empty());
  run(id, "dev-1");
  EXPECT_EQ(silencedProcesses(world.audio), std::vector<platform::AudioObjectID>{12});
}

TEST_F(SilencedTest, GlobalTapSilencesAllButTheListedAndUnmutedTapsNothing) {
  platform::AudioObjectID global =
      tap(platform::TapInitializer::kStereoGlobalTapButExcludeProcesses, {12},
          platform::TapMuteBehavior::kMutedWhenTapped);
  platform::AudioObjectID probe = tap(platform::TapInitializer::kStereoMixdownOfProcesses, {12},
                                      platform::TapMuteBehavior::kUnmuted);
  run(probe, "dev-probe");
  EXPECT_TRUE(silencedProcesses(world.audio).empty());
  run(global, "dev-global");
  EXPECT_EQ(silencedProcesses(world.audio), (std::vector<platform::AudioObjectID>{11, 13}));
}

TEST_F(SilencedTest, ReadsFollowTheProcessListAsItIsEdited) {
  auto pidOf = [&](platform::AudioObjectID id, pid_t& pid) {
    std::uint32_t size = 4;
    return audio.getPropertyData(id, {platform::kAudioProcessPropertyPID, 0, 0}, 0, nullptr, size,
                                 &pid);
  };
  pid_t pid = 0;
  ASSERT_EQ(pidOf(12, pid), 0);
  EXPECT_EQ(pid, 2);
  // The list replaced by one of the same length with other IDs, then reordered and grown.
  world.audio.processes = {{21, 7, {}, false}, {22, 8, {}, false}, {23, 9, {}, false}};
  EXPECT_EQ(pidOf(12, pid), platform::kAudioHardwareBadObjectError);
  ASSERT_EQ(pidOf(22, pid), 0);
  EXPECT_EQ(pid, 8);
  std::swap(world.audio.processes[0], world.audio.processes[2]);
  world.audio.processes[0].pid = 99;
  world.audio.processes.push_back({24, 10, {}, false});
  ASSERT_EQ(pidOf(23, pid), 0);
  EXPECT_EQ(pid, 99);
  ASSERT_EQ(pidOf(24, pid), 0);
  EXPECT_EQ(pid, 10);
  world.audio.processes.erase(world.audio.processes.begin());
  EXPECT_EQ(pidOf(23, pid), platform::kAudioHardwareBadObjectError);
  ASSERT_EQ(pidOf(21, pid), 0);
  EXPECT_EQ(pid, 7);
}

TEST_F(SilencedTest, DeviceUIDsMustBeFreshAndTapsMustNameKnownProcesses) {
  platform::AudioObjectID id = tap(platform::TapInitializer::kStereoMixdownOfProcesses, {11},
                                   platform::TapMuteBehavior::kMutedWhenTapped);
  run(id, "same");
  platform::AudioObjectID device = 0;
  EXPECT_EQ(audio.createAggregateDevice({"d", "same", {}, false, true}, device),
            platform::kAudioHardwareIllegalOperationError);
  EXPECT_EQ(audio.createProcessTap({platform::TapInitializer::kStereoMixdownOfProcesses,
                                    {99},
                                    "t",
                                    true,
                                    platform::TapMuteBehavior::kMutedWhenTapped},
                                   device),
            platform::kAudioHardwareBadObjectError);
}

}  // namespace
}  // namespace velmuro::sim
