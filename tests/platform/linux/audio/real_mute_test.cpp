// The shipped tool against real sound servers, PulseAudio and PipeWire, each started headless for
// the test with a private runtime directory and a null sink, and heard on the sink's monitor.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <memory>
#include <thread>

#include "platform/linux/audio/real_server_test.h"
#include "platform/linux/desktop/application_scope.h"

namespace velmuro::testing {
namespace {

TEST_P(RealServerTest, ProcessMuteHoldsTheTargetExactlySilentAndGivesItBack) {
  std::string name = uniqueProcessName("vmute");
  Tone& target = startAudibleTone(name, 440, "Meeting " + name);

  auto tool = startTool({name});
  ASSERT_EQ(tool->readLine(kPatience), kMuted);
  // "muted" comes only once the server has applied the mute.
  EXPECT_EQ(listPlaybackStreams(environment_).size(), 1u);
  EXPECT_EQ(streamMuted(target.pid()), true);
  ASSERT_TRUE(recorder_->waitTotalSilence(kPatience));
  std::size_t from = recorder_->frames();
  ASSERT_TRUE(recorder_->waitFrames(MonitorRecorder::kRate / 2, kPatience));
  EXPECT_EQ(recorder_->peak(from, recorder_->frames()), 0) << "sound leaked during the hold";

  // Someone unmutes the target during the hold: the tap keeps it silent.
  std::optional<PlaybackStream> stream = waitForStream(environment_, target.pid(), kPatience);
  ASSERT_TRUE(stream);
  ASSERT_TRUE(pactl(environment_, {"set-sink-input-mute", std::to_string(stream->index), "0"}));
  EXPECT_TRUE(recorder_->waitTotalSilence(kPatience));
  EXPECT_EQ(streamMuted(target.pid()), true);

  // A process the tool does not cover keeps its sound, even one that starts during the hold.
  startAudibleTone(uniqueProcessName("vother"), 1000, "Other " + name);
  EXPECT_TRUE(staysSilent(440));

  tool->write("done\n");
  EXPECT_EQ(tool->readLine(kPatience), kUnmuted);
  EXPECT_EQ(tool->wait(kPatience), 0);
  EXPECT_EQ(streamMuted(target.pid()), false);
  EXPECT_TRUE(recorder_->waitAudible(440, kLevel, kPatience));
  EXPECT_TRUE(keepsSounding(1000));
}

TEST_P(RealServerTest, AnApplicationIsMutedByTheDesktopEntryIDItRunsAs) {
  // A player that names no application of its own, started in the scope a desktop shell starts
  // an application in: the ID that the readers know it by names it for a mute too.
  const std::string id = "org.velmuro.test.player" + std::to_string(::getpid());
  std::string error;
  std::optional<ApplicationScope> scope = ApplicationScope::create(id, &error);
  ASSERT_TRUE(scope) << error;
  Process player(
      "/bin/sh",
      commandInScope(*scope, VELMURO_TONE_BINARY, {"440", std::to_string(kLevel), "Player"}),
      environment_);
  ASSERT_TRUE(recorder_->waitAudible(440, kLevel, kPatience));

  auto tool = startTool({id});
  ASSERT_EQ(tool->readLine(kPatience), kMuted);
  EXPECT_TRUE(recorder_->waitTotalSilence(kPatience));
  tool->write("done\n");
  EXPECT_EQ(tool->readLine(kPatience), kUnmuted);
  EXPECT_TRUE(recorder_->waitAudible(440, kLevel, kPatience));
  player.signal(SIGKILL);
  player.wait(kPatience);
  scope->killAll();
}

TEST_P(RealServerTest, SystemMuteSparesTheHostsProcessTreeAndSilencesTheRest) {
  std::string hostTone = directory_.path() + "/" + uniqueProcessName("vhost");
  std::filesystem::create_symlink(VELMURO_TONE_BINARY, hostTone);
  // The host's audio comes from a child of the PID it names.
  Process host("/bin/sh", {"-c", "\"$0\" 1000 0.3 Host & wait", hostTone}, environment_);
  ASSERT_TRUE(recorder_->waitAudible(1000, kLevel, kPatience));
  startAudibleTone(uniqueProcessName("vrest"), 440, "Rest");

  auto tool = startTool({"--system", std::to_string(host.pid())});
  ASSERT_EQ(tool->readLine(kPatience), kMuted);
  EXPECT_TRUE(recorder_->waitSilent(440, kPatience));
  EXPECT_TRUE(staysSilent(440));
  EXPECT_TRUE(keepsSounding(1000));
  // A process that starts during the hold is outside the host's tree: silenced as it appears.
  Tone& late = startTone(uniqueProcessName("vnew"), 1500, "Late");
  ASSERT_TRUE(waitForStream(environment_, late.pid(), kPatience));
  EXPECT_TRUE(staysSilent(1500));
  EXPECT_TRUE(keepsSounding(1000));

  tool->closeInput();
  EXPECT_EQ(tool->readLine(kPatience), kUnmuted);
  EXPECT_EQ(tool->wait(kPatience), 0);
  EXPECT_TRUE(recorder_->waitAudible(440, kLevel, kPatience));
  EXPECT_TRUE(recorder_->waitAudible(1500, kLevel, kPatience));
}

TEST_P(RealServerTest, StreamsThatStartDuringTheHoldFollowWhetherTheirProcessIsCovered) {
  std::string name = uniqueProcessName("vlate");
  std::string application = "Meeting " + name;
  Tone& target = startAudibleTone(name, 440, application);
  auto tool = startTool({name});
  ASSERT_EQ(tool->readLine(kPatience), kMuted);
  ASSERT_TRUE(recorder_->waitTotalSilence(kPatience));

  // The target opens another stream: it is silenced as it appears.
  target.process().write("1000\n");
  EXPECT_TRUE(recorder_->waitFrames(MonitorRecorder::kRate / 2, kPatience));
  EXPECT_EQ(listPlaybackStreams(environment_).size(), 2u);
  EXPECT_TRUE(staysSilent(1000));

  // Another process under the same application name is not covered. The server remembers the
  // tool's mute under that name and may start the stream muted: it must not stay so.
  Tone& namesake = startTone(uniqueProcessName("vnames"), 1500, application);
  ASSERT_TRUE(waitForStream(environment_, namesake.pid(), kPatience));
  EXPECT_TRUE(recorder_->waitAudible(1500, kLevel, kPatience));
  EXPECT_TRUE(keepsSounding(1500));
  EXPECT_EQ(streamMuted(namesake.pid()), false);
  EXPECT_TRUE(staysSilent(440));
  EXPECT_TRUE(staysSilent(1000));

  tool->write("x");
  EXPECT_EQ(tool->readLine(kPatience), kUnmuted);
  EXPECT_TRUE(recorder_->waitAudible(440, kLevel, kPatience));
  EXPECT_TRUE(recorder_->waitAudible(1000, kLevel, kPatience));
  EXPECT_TRUE(keepsSounding(1500));
}

TEST_P(RealServerTest, AStreamMutedBeforeTheToolStaysMutedAfterIt) {
  std::string name = uniqueProcessName("vpre");
  std::string application = "Meeting " + name;
  Tone& premuted = startAudibleTone(name, 440, application);
  Tone& playing = startAudibleTone(name, 1000, application);
  std::optional<PlaybackStream> stream = waitForStream(environment_, premuted.pid(), kPatience);
  ASSERT_TRUE(stream);
  ASSERT_TRUE(pactl(environment_, {"set-sink-input-mute", std::to_string(stream->index), "1"}));
  ASSERT_TRUE(recorder_->waitSilent(440, kPatience));

  auto tool = startTool({name});
  ASSERT_EQ(tool->readLine(kPatience), kMuted);
  EXPECT_TRUE(recorder_->waitTotalSilence(kPatience));
  tool->write("x\n");
  EXPECT_EQ(tool->readLine(kPatience), kUnmuted);

  EXPECT_TRUE(recorder_->waitAudible(1000, kLevel, kPatience));
  EXPECT_TRUE(staysSilent(440));
  EXPECT_EQ(streamMuted(premuted.pid()), true);
  EXPECT_EQ(streamMuted(playing.pid()), false);
}

TEST_P(RealServerTest, EndingTheToolDuringTheHoldGivesTheSoundBack) {
  struct Ending {
    const char* what;
    int signal;
    bool wholeGroup;
    int exitStatus;
  };
  for (const Ending& ending :
       {Ending{"SIGKILL", SIGKILL, false, 128 + SIGKILL}, Ending{"SIGTERM", SIGTERM, false, 0},
        Ending{"SIGKILL to the process group", SIGKILL, true, 128 + SIGKILL}}) {
    SCOPED_TRACE(ending.what);
    std::string name = uniqueProcessName("vkill");
    startAudibleTone(name, 440, "Meeting " + name);
    auto tool = startTool({name}, ending.wholeGroup);
    ASSERT_EQ(tool->readLine(kPatience), kMuted);
    ASSERT_TRUE(recorder_->waitTotalSilence(kPatience));
    pid_t guardian = guardianOf(*tool);

    if (ending.wholeGroup) {
      ::kill(-tool->pid(), ending.signal);
    } else {
      tool->signal(ending.signal);
    }
    EXPECT_EQ(tool->wait(kPatience), ending.exitStatus);
    EXPECT_EQ(tool->readLine(100ms), std::nullopt) << "no line after the signal";
    EXPECT_TRUE(recorder_->waitAudible(440, kLevel, kPatience));
    EXPECT_TRUE(keepsSounding(440));
    EXPECT_TRUE(waitUntilGone(guardian)) << "the guardian outlived its work";
    tones_.clear();
    ASSERT_TRUE(recorder_->waitTotalSilence(kPatience));
  }
}

TEST_P(RealServerTest, TheServersMemoryCarriesNoMuteOverToStreamsAfterTheTool) {
  struct Ending {
    const char* what;
    bool targetEndsFirst;
    bool kill;
  };
  for (const Ending& ending : {Ending{"released", false, false}, Ending{"SIGKILL", false, true},
                               Ending{"target gone before the release", true, false},
                               Ending{"target gone, then SIGKILL", true, true}}) {
    SCOPED_TRACE(ending.what);
    std::string name = uniqueProcessName("vmem");
    std::string application = "Meeting " + name;
    startAudibleTone(name, 440, application);
    auto tool = startTool({name});
    ASSERT_EQ(tool->readLine(kPatience), kMuted);
    ASSERT_TRUE(recorder_->waitTotalSilence(kPatience));
    if (ending.targetEndsFirst) {
      tones_.clear();
      ASSERT_TRUE(waitForNoStreams());
    }
    if (ending.kill) {
      pid_t guardian = guardianOf(*tool);
      tool->signal(SIGKILL);
      tool->wait(kPatience);
      ASSERT_TRUE(waitUntilGone(guardian));
    } else {
      tool->write("x\n");
      ASSERT_EQ(tool->readLine(kPatience), kUnmuted);
      tool->wait(kPatience);
    }

    // The same application starts a new stream: it sounds, and the server reports it unmuted.
    Tone& next = startTone(name, 1000, application);
    EXPECT_TRUE(recorder_->waitAudible(1000, kLevel, kPatience));
    EXPECT_TRUE(keepsSounding(1000));
    EXPECT_EQ(streamMuted(next.pid()), false);
    tones_.clear();
    ASSERT_TRUE(recorder_->waitTotalSilence(kPatience));
  }
}

TEST_P(RealServerTest, TheGuardianHoldsNoneOfTheToolsOutput) {
  std::string name = uniqueProcessName("vout");
  startAudibleTone(name, 440, "Meeting " + name);
  auto tool = startTool({name});
  ASSERT_EQ(tool->readLine(kPatience), kMuted);
  ASSERT_TRUE(recorder_->waitTotalSilence(kPatience));
  pid_t guardian = guardianOf(*tool);

  // With the server stopped the guardian cannot finish, yet the host sees the end of the
  // tool's output as soon as the tool has gone.
  std::optional<pid_t> server = serverProcess();
  ASSERT_TRUE(server);
  ::kill(*server, SIGSTOP);
  tool->signal(SIGKILL);
  bool ended = tool->outputEndsWithin(1s);
  bool guardianWaiting = isAlive(guardian);
  ::kill(*server, SIGCONT);
  EXPECT_TRUE(ended);
  EXPECT_TRUE(guardianWaiting);
  EXPECT_TRUE(recorder_->waitAudible(440, kLevel, kPatience));
  EXPECT_TRUE(waitUntilGone(guardian));
}

TEST_P(RealServerTest, AServerThatHangsCostsTheToolAboutASecondAtMost) {
  std::string name = uniqueProcessName("vhang");
  startAudibleTone(name, 440, "Meeting " + name);
  std::optional<pid_t> server = serverProcess();
  ASSERT_TRUE(server);

  // Hung before the tool starts: nothing answers the listing, so nothing is found.
  ::kill(*server, SIGSTOP);
  auto start = std::chrono::steady_clock::now();
  auto lost = startTool({name});
  std::optional<std::string> line = lost->readLine(kPatience);
  std::optional<int> status = lost->wait(kPatience);
  auto took = std::chrono::steady_clock::now() - start;
  ::kill(*server, SIGCONT);
  EXPECT_EQ(line, R"({"error":")" + name +
                      R"( audio process not found. Make sure it is running and playing audio."})");
  EXPECT_EQ(status, 1);
  EXPECT_LT(took, 2500ms);

  // Hung during the hold: the release still ends the tool, and the sound comes back once the
  // server answers again.
  auto tool = startTool({name});
  ASSERT_EQ(tool->readLine(kPatience), kMuted);
  ASSERT_TRUE(recorder_->waitTotalSilence(kPatience));
  ::kill(*server, SIGSTOP);
  start = std::chrono::steady_clock::now();
  tool->write("x\n");
  line = tool->readLine(kPatience);
  status = tool->wait(kPatience);
  took = std::chrono::steady_clock::now() - start;
  ::kill(*server, SIGCONT);
  EXPECT_EQ(line, kUnmuted);
  EXPECT_EQ(status, 0);
  EXPECT_LT(took, 2500ms);
  EXPECT_TRUE(recorder_->waitAudible(440, kLevel, kPatience));
}

INSTANTIATE_TEST_SUITE_P(Servers, RealServerTest, ::testing::Values("pulseaudio", "pipewire"),
                         [](const ::testing::TestParamInfo<const char*>& server) {
                           return std::string(server.param);
                         });

}  // namespace
}  // namespace velmuro::testing
