// The Linux audio backend through the seam, in this process, against real sound servers: what
// the process objects, taps and devices are made of.
#include "platform/linux/audio/linux_audio_hardware.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <thread>

#include "discovery/audio_objects.h"
#include "platform/linux/linux_capture_privacy.h"
#include "platform/linux/audio/sound_server.h"
#include "tap/tap_chain.h"

namespace velmuro::testing {
namespace {

using namespace std::chrono_literals;
using platform::AudioObjectID;

constexpr auto kPatience = 5s;

// Points libpulse in this process at the test's server for the test's length.
class ClientEnvironment {
 public:
  explicit ClientEnvironment(const Environment& environment) {
    for (const auto& [name, value] : environment) {
      const char* old = std::getenv(name.c_str());
      saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
      ::setenv(name.c_str(), value.c_str(), 1);
    }
  }
  ~ClientEnvironment() {
    for (const auto& [name, value] : saved_) {
      if (value) {
        ::setenv(name.c_str(), value->c_str(), 1);
      } else {
        ::unsetenv(name.c_str());
      }
    }
  }

 private:
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

class LinuxAudioHardwareTest : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    std::string error;
    server_ = SoundServer::start(GetParam(), &error);
    if (!server_) {
      const char* ci = std::getenv("CI");
      if (ci != nullptr && std::string(ci) == "true") FAIL() << error;
      GTEST_SKIP() << error;
    }
    client_.emplace(server_->environment());
  }

  Tone& startTone(double frequency, const Environment& more = {}) {
    tones_.push_back(std::make_unique<Tone>(directory_, uniqueProcessName("vobj"), frequency, 0.3,
                                            "Objects",
                                            withVariables(server_->environment(), more)));
    EXPECT_TRUE(waitForStream(server_->environment(), tones_.back()->pid(), kPatience));
    return *tones_.back();
  }

  // The process object of a PID, from the listed objects.
  std::optional<AudioObjectID> objectOf(pid_t pid) {
    for (AudioObjectID object : discovery::getProcessObjectList(hardware_)) {
      if (discovery::processPID(hardware_, object) == pid) return object;
    }
    return std::nullopt;
  }

  // Waits until the hardware lists (or no longer lists) an object for a PID.
  std::optional<AudioObjectID> waitForObject(pid_t pid, bool present = true) {
    auto deadline = std::chrono::steady_clock::now() + kPatience;
    for (;;) {
      std::optional<AudioObjectID> object = objectOf(pid);
      if (object.has_value() == present || std::chrono::steady_clock::now() > deadline) {
        return object;
      }
      std::this_thread::sleep_for(5ms);
    }
  }

  bool streamMuted(pid_t pid) {
    std::optional<PlaybackStream> stream = waitForStream(server_->environment(), pid, kPatience);
    return stream && stream->muted;
  }

  std::optional<SoundServer> server_;
  std::optional<ClientEnvironment> client_;
  TemporaryDirectory directory_;
  std::vector<std::unique_ptr<Tone>> tones_;
  // Declared last, so that it disconnects before the server goes.
  linux_desktop::LinuxAudioHardware hardware_;
};

TEST_P(LinuxAudioHardwareTest, ProcessObjectsAreTheServersClientProcesses) {
  Tone& named = startTone(440, {{"PULSE_PROP", "application.id=com.example.meet"}});
  Tone& plain = startTone(1000);

  std::vector<AudioObjectID> objects = discovery::getProcessObjectList(hardware_);
  EXPECT_EQ(std::count(objects.begin(), objects.end(), platform::kAudioObjectUnknown), 0);
  EXPECT_EQ(std::count(objects.begin(), objects.end(), platform::kAudioObjectSystemObject), 0);
  EXPECT_EQ(discovery::getProcessObjectList(hardware_), objects) << "the order is stable";

  std::optional<AudioObjectID> namedObject = objectOf(named.pid());
  std::optional<AudioObjectID> plainObject = objectOf(plain.pid());
  ASSERT_TRUE(namedObject && plainObject);
  EXPECT_NE(*namedObject, *plainObject);
  EXPECT_EQ(discovery::processBundleID(hardware_, *namedObject), "com.example.meet");
  // A client that names no application is known by the desktop-entry ID it runs as, here its
  // executable's name, as the readers know it.
  EXPECT_EQ(discovery::processBundleID(hardware_, *plainObject), "velmuro-tone");
  EXPECT_TRUE(discovery::processIsRunningOutput(hardware_, *namedObject));
  EXPECT_EQ(discovery::resolveAudioObjectID(hardware_, plain.pid()), plainObject);
  // PID 1 is no client of this private server.
  EXPECT_EQ(discovery::resolveAudioObjectID(hardware_, 1), std::nullopt);
  // This process is a client too, through the backend's own connection.
  EXPECT_TRUE(objectOf(::getpid()).has_value());
}

TEST_P(LinuxAudioHardwareTest, ObjectsKeepTheirIDsForTheRunAndVanishWithTheirProcess) {
  Tone& leaving = startTone(440);
  Tone& staying = startTone(1000);
  std::optional<AudioObjectID> leavingObject = waitForObject(leaving.pid());
  std::optional<AudioObjectID> stayingObject = waitForObject(staying.pid());
  ASSERT_TRUE(leavingObject && stayingObject);

  pid_t leavingPID = leaving.pid();
  leaving.process().signal(SIGKILL);
  EXPECT_EQ(waitForObject(leavingPID, false), std::nullopt);
  EXPECT_EQ(discovery::processPID(hardware_, *leavingObject), std::nullopt);
  EXPECT_FALSE(discovery::processIsRunningOutput(hardware_, *leavingObject));

  Tone& arriving = startTone(1500);
  std::optional<AudioObjectID> arrivingObject = waitForObject(arriving.pid());
  ASSERT_TRUE(arrivingObject);
  EXPECT_NE(*arrivingObject, *leavingObject) << "an ID is never handed out twice";
  EXPECT_EQ(objectOf(staying.pid()), stayingObject);

  AudioObjectID vanished = *leavingObject;
  platform::AudioObjectID tap = 0;
  EXPECT_EQ(hardware_.createProcessTap(tap::muteTapDescription({vanished}), tap),
            platform::kAudioHardwareBadObjectError);
}

TEST_P(LinuxAudioHardwareTest, TheTapChainMutesWhenItsDeviceStartsAndGivesBackWhenItStops) {
  Tone& target = startTone(440);
  Tone& other = startTone(1000);
  std::optional<AudioObjectID> object = waitForObject(target.pid());
  ASSERT_TRUE(object);

  AudioObjectID tap = 0;
  ASSERT_EQ(hardware_.createProcessTap(tap::muteTapDescription({*object}), tap), platform::kNoErr);
  EXPECT_NE(tap, *object);
  std::string uid;
  ASSERT_EQ(hardware_.getStringPropertyData(
                tap, discovery::getPropertyAddress(platform::kAudioTapPropertyUID), uid),
            platform::kNoErr);
  EXPECT_FALSE(uid.empty());
  AudioObjectID device = 0;
  EXPECT_EQ(
      hardware_.createAggregateDevice(tap::aggregateDeviceDescription("no such tap", "0"), device),
      platform::kAudioHardwareBadObjectError);
  ASSERT_EQ(hardware_.createAggregateDevice(tap::aggregateDeviceDescription(uid, "0"), device),
            platform::kNoErr);
  EXPECT_NE(device, tap);
  platform::AudioDeviceIOProcID proc{};
  ASSERT_EQ(hardware_.createIOProcID(device, tap::ioProcCallback, nullptr, proc), platform::kNoErr);
  // A tap that mutes only while tapped changes nothing until its device runs.
  EXPECT_FALSE(streamMuted(target.pid()));

  ASSERT_EQ(hardware_.deviceStart(device, proc), platform::kNoErr);
  // Acknowledged before deviceStart returned: the server says so on the first look.
  EXPECT_TRUE(streamMuted(target.pid()));
  EXPECT_FALSE(streamMuted(other.pid()));

  EXPECT_EQ(hardware_.deviceStop(device, proc), platform::kNoErr);
  EXPECT_FALSE(streamMuted(target.pid()));
  EXPECT_EQ(hardware_.destroyIOProcID(device, proc), platform::kNoErr);
  EXPECT_EQ(hardware_.destroyAggregateDevice(device), platform::kNoErr);
  EXPECT_EQ(hardware_.destroyProcessTap(tap), platform::kNoErr);
  EXPECT_EQ(hardware_.destroyProcessTap(tap), platform::kAudioHardwareBadObjectError);
}

TEST_P(LinuxAudioHardwareTest, TheProbeTapNeverMutes) {
  Tone& target = startTone(440);
  std::optional<AudioObjectID> object = waitForObject(target.pid());
  ASSERT_TRUE(object);
  linux_desktop::LinuxCapturePrivacy privacy;
  ASSERT_TRUE(tap::installTap(hardware_, privacy, tap::probeTapDescription(*object), false));
  EXPECT_FALSE(streamMuted(target.pid()));
  tap::destroyTap(hardware_);
}

INSTANTIATE_TEST_SUITE_P(Servers, LinuxAudioHardwareTest,
                         ::testing::Values("pulseaudio", "pipewire"),
                         [](const ::testing::TestParamInfo<const char*>& server) {
                           return std::string(server.param);
                         });

}  // namespace
}  // namespace velmuro::testing
