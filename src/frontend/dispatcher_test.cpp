#include "frontend/dispatcher.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/sim/sim_desktop.h"
#include "platform/sim/world.h"
#include "support/scripted_children.h"
#include "tap/tap_chain.h"

namespace velmuro::frontend {
namespace {

using ::testing::ElementsAre;

// An input descriptor holding these bytes, then end of input.
class Input {
 public:
  explicit Input(const std::string& bytes) {
    int ends[2];
    if (::pipe(ends) != 0) std::abort();
    if (::write(ends[1], bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
      std::abort();
    }
    ::close(ends[1]);
    fd_ = ends[0];
  }
  ~Input() { ::close(fd_); }
  int get() const { return fd_; }
  // What the reader left unread.
  std::string rest() {
    std::string left;
    char buffer[256];
    for (ssize_t n; (n = ::read(fd_, buffer, sizeof buffer)) > 0;) {
      left.append(buffer, static_cast<std::size_t>(n));
    }
    return left;
  }

 private:
  int fd_;
};

TEST(SplitExplicitPIDTest, TrailingPIDIsTakenOnlyFromTwoOrMoreTargets) {
  MuteTargets two = splitExplicitPID({"zoom.us", "1234"});
  EXPECT_THAT(two.targets, ElementsAre("zoom.us"));
  EXPECT_EQ(two.explicitPID, 1234);
  MuteTargets one = splitExplicitPID({"1234"});
  EXPECT_THAT(one.targets, ElementsAre("1234"));
  EXPECT_EQ(one.explicitPID, std::nullopt);
  EXPECT_EQ(splitExplicitPID({"a", "+7"}).explicitPID, 7);
  EXPECT_EQ(splitExplicitPID({"a", "-7"}).explicitPID, -7);
  EXPECT_EQ(splitExplicitPID({"a", "2147483647"}).explicitPID, 2147483647);
}

TEST(SplitExplicitPIDTest, TextThatIsNoPIDStaysATarget) {
  for (const char* last : {"2147483648", "12x", "+", "-", " 7", ""}) {
    MuteTargets mute = splitExplicitPID({"a", last});
    EXPECT_EQ(mute.explicitPID, std::nullopt) << last;
    EXPECT_THAT(mute.targets, ElementsAre("a", last));
  }
}

TEST(WaitForReleaseTest, EmptyLinesKeepHoldingAndTheFirstCharacterOfAnyOtherReleases) {
  Input input("\n\r\n\n x y\n");
  waitForRelease(input.get());
  EXPECT_EQ(input.rest(), "x y\n");  // released on the space, without reading the rest
}

TEST(WaitForReleaseTest, CarriageReturnWithoutLineFeedIsContent) {
  Input input("\r\rz");
  waitForRelease(input.get());
  EXPECT_EQ(input.rest(), "z");
}

TEST(WaitForReleaseTest, EndOfInputReleases) {
  for (const char* bytes : {"", "\n\n", "\r\n", "\r"}) {
    Input input(bytes);
    waitForRelease(input.get());
    EXPECT_EQ(input.rest(), "") << bytes;
  }
}

class DispatcherTest : public ::testing::Test {
 protected:
  DispatcherTest() {
    world.audio.processes = {{11, 611, "us.zoom.xos", true},
                             {12, 612, "com.apple.Music", true},
                             {13, 613, std::nullopt, false}};
  }
  ~DispatcherTest() override { tap::destroyTap(audio); }

  struct Result {
    int status;
    std::string out;
  };
  Result run(std::vector<std::string> args, const std::string& input = "") {
    args.insert(args.begin(), "Velmuro");
    Input in(input);
    ::testing::internal::CaptureStdout();
    int status = dispatch(args, platform, in.get());
    return {status, ::testing::internal::GetCapturedStdout()};
  }
  std::vector<platform::AudioObjectID> tappedObjects() const {
    auto taps = world.log.callsNamed("AudioHardwareCreateProcessTap");
    std::vector<platform::AudioObjectID> ids;
    if (taps.empty()) return ids;
    sim::json::Value arguments(taps[0].arguments);
    for (const auto& id : arguments.find("processes")->asArray()) {
      ids.push_back(static_cast<platform::AudioObjectID>(id.asNumber()));
    }
    return ids;
  }

  sim::World world;
  sim::SimAudioHardware audio{world};
  sim::SimCapturePrivacy privacy{world};
  sim::SimAccessibility accessibility{world};
  sim::SimWorkspace workspace{world};
  sim::SimPasteboard pasteboard{world};
  testing::ScriptedChildren children;
  platform::Platform platform{audio,      privacy,     accessibility, workspace,
                              pasteboard, world.clock, children};
};

TEST_F(DispatcherTest, NoCommandWordIsAUsageError) {
  std::vector<std::string> args{"Velmuro"};
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(dispatch(args, platform, STDIN_FILENO), 1);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "{\"error\":\"Usage: Velmuro <process-name-or-bundle-id>... [pid]\"}\n");
}

TEST_F(DispatcherTest, PermissionCommandsIgnoreFurtherWords) {
  Result check = run({"check-audio-permission", "extra"});
  EXPECT_EQ(check.status, 0);
  EXPECT_EQ(check.out, "{\"status\":\"granted\"}\n");
  world.privacy.preflight = 1;
  Result request = run({"request-audio-permission", "extra"});
  EXPECT_EQ(request.status, 0);
  EXPECT_EQ(request.out, "{\"status\":\"denied\"}\n");
}

TEST_F(DispatcherTest, ProcessMuteHoldsUntilANonEmptyLine) {
  Result result = run({"us.zoom.xos"}, "\n\r\nrelease\n");
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, "{\"status\":\"muted\"}\n{\"status\":\"unmuted\"}\n");
  EXPECT_THAT(tappedObjects(), ElementsAre(11u));
  EXPECT_TRUE(sim::silencedProcesses(world.audio).empty());
  EXPECT_TRUE(world.audio.taps.empty());
}

TEST_F(DispatcherTest, NotFoundNamesTheTargetsWithoutTheExplicitPID) {
  Result result = run({"zoom.us", "Teams", "1234"});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out,
            "{\"error\":\"zoom.us, Teams audio process not found. Make sure it is running and "
            "playing audio.\"}\n");
  EXPECT_TRUE(children.runs.empty());  // an explicit PID decides alone
}

TEST_F(DispatcherTest, ExplicitPIDMutesItsObject) {
  Result result = run({"anything", "612"});
  EXPECT_EQ(result.status, 0);
  EXPECT_THAT(tappedObjects(), ElementsAre(12u));
}

TEST_F(DispatcherTest, LoneNumberIsAProcessName) {
  children.pgrepOutput["613"] = "613\n";
  Result result = run({"613"});
  EXPECT_EQ(result.status, 0);
  EXPECT_THAT(children.runs.at(0), ElementsAre("/usr/bin/pgrep", "-x", "--", "613"));
  EXPECT_THAT(tappedObjects(), ElementsAre(13u));
}

TEST_F(DispatcherTest, ReaderWordWithoutItsArgumentBecomesAMuteTarget) {
  Result result = run({"ax-tab-addresses"});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out,
            "{\"error\":\"ax-tab-addresses audio process not found. Make sure it is running and "
            "playing audio.\"}\n");
}

TEST_F(DispatcherTest, TapFailureIsTheOnlyAndLastLine) {
  world.audio.faults.push_back({.call = "AudioDeviceStart", .status = -50});
  Result result = run({"us.zoom.xos"}, "x\n");
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "{\"error\":\"AudioDeviceStart failed: -50\"}\n");
  EXPECT_TRUE(world.audio.taps.empty());
}

TEST_F(DispatcherTest, SystemMuteSparesTheHostsProcessTree) {
  children.psOutput = "  1     0\n  611     1\n  700   611\n  613   700\n  612     1\n";
  Result result = run({"--system", "611", "612"}, "\n");
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, "{\"status\":\"muted\"}\n{\"status\":\"unmuted\"}\n");
  EXPECT_THAT(children.runs.at(0), ElementsAre("/bin/ps", "-axo", "pid=,ppid="));
  EXPECT_THAT(tappedObjects(), ElementsAre(11u, 13u));  // 612, the extra argument, is ignored
  sim::json::Value start(world.log.callsNamed("AudioDeviceStart").at(0).arguments);
  EXPECT_EQ(sim::json::dump(*start.find("silenced")), "[12]");
}

TEST_F(DispatcherTest, SystemMuteWithoutAProcessTreeFails) {
  const std::string line = "{\"error\":\"Could not resolve own process tree for system mute\"}\n";
  children.psOutput = "1 0\n";
  for (std::vector<std::string> args :
       {std::vector<std::string>{"--system"}, {"--system", "host"}, {"--system", ""}}) {
    Result result = run(args);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, line);
  }
  children.psOutput.reset();  // ps can't be started
  EXPECT_EQ(run({"--system", "611"}).out, line);
  EXPECT_EQ(world.log.count("AudioHardwareCreateProcessTap"), 0u);
}

TEST_F(DispatcherTest, SystemMuteWithNoAudioObjectsStillMutesEverything) {
  world.audio.processes.clear();
  children.psOutput = "5 1\n";
  Result result = run({"--system", "5"}, "");
  EXPECT_EQ(result.status, 0);
  EXPECT_TRUE(tappedObjects().empty());
}

}  // namespace
}  // namespace velmuro::frontend
