// The shipped tool's mute against what befalls it on a real desktop, on PulseAudio and PipeWire:
// signals that reach its guardian, a sound server that crashes and comes back or stops for a
// while, a mute the server remembers for the user, a home that can't be written, and a client that
// claims another process's PID. Afterwards nothing of the tool may stay: no stream of the muted
// application is muted, its next stream starts as the server remembered it before the tool.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/linux/audio/real_server_test.h"

namespace velmuro::testing {
namespace {

class RealServerFaultTest : public RealServerTest {};

TEST_P(RealServerFaultTest, ASignalToTheGuardianGivesTheSoundBackBeforeItEnds) {
  // SIGQUIT's default action would leave a core file behind.
  rlimit core{};
  ::getrlimit(RLIMIT_CORE, &core);
  core.rlim_cur = 0;
  ::setrlimit(RLIMIT_CORE, &core);
  struct Ending {
    const char* what;
    int signal;
    bool toolToo;
  };
  // pkill of the tool's name signals both, in either order; the guardian comes first here.
  for (const Ending& ending :
       {Ending{"SIGTERM to both", SIGTERM, true}, Ending{"SIGINT to both", SIGINT, true},
        Ending{"SIGHUP to both", SIGHUP, true}, Ending{"SIGQUIT to both", SIGQUIT, true},
        Ending{"SIGTERM to the guardian alone", SIGTERM, false}}) {
    SCOPED_TRACE(ending.what);
    std::string name = uniqueProcessName("vsig");
    std::string application = "Meeting " + name;
    Tone& target = startAudibleTone(name, 440, application);
    auto tool = startTool({name});
    ASSERT_EQ(tool->readLine(kPatience), kMuted);
    ASSERT_TRUE(recorder_->waitTotalSilence(kPatience));
    pid_t guardian = guardianOf(*tool);

    ::kill(guardian, ending.signal);
    if (ending.toolToo) {
      tool->signal(ending.signal);
      EXPECT_TRUE(tool->wait(kPatience).has_value());
    }
    EXPECT_TRUE(recorder_->waitAudible(440, kLevel, kPatience));
    EXPECT_TRUE(keepsSounding(440));
    EXPECT_TRUE(waitUntilGone(guardian)) << "the guardian outlived its work";
    if (!ending.toolToo) {
      // Without its guardian the tool mutes nothing more, and its release is as ever.
      tool->write("x\n");
      EXPECT_EQ(tool->readLine(kPatience), kUnmuted);
      EXPECT_EQ(tool->wait(kPatience), 0);
      EXPECT_TRUE(keepsSounding(440));
    }
    expectNoRememberedMute(target, application, 1000);
    tones_.clear();
    ASSERT_TRUE(recorder_->waitTotalSilence(kPatience));
  }
}

TEST_P(RealServerFaultTest, AServerRestartedDuringTheHoldKeepsNothingOfTheTool) {
  struct Order {
    const char* what;
    bool endWhileDown;
    bool kill;
  };
  for (const Order& order : {Order{"released while the server is down", true, false},
                             Order{"killed while the server is down", true, true},
                             Order{"released after the restart", false, false},
                             Order{"killed after the restart", false, true}}) {
    SCOPED_TRACE(order.what);
    std::string name = uniqueProcessName("vrst");
    std::string application = "Meeting " + name;
    // The application connects again once its server is back, with the same PID.
    Tone& target = startAudibleTone(name, 440, application, /*reconnect=*/true);
    auto tool = startTool({name});
    ASSERT_EQ(tool->readLine(kPatience), kMuted);
    ASSERT_TRUE(recorder_->waitTotalSilence(kPatience));
    pid_t guardian = guardianOf(*tool);
    // Long enough for WirePlumber to have stored the tool's mute in its memory, which it does a
    // second after a change; PulseAudio stores it at once.
    std::this_thread::sleep_for(1200ms);
    ASSERT_NO_FATAL_FAILURE(killServer());

    auto end = [&] {
      if (order.kill) {
        tool->signal(SIGKILL);
        EXPECT_EQ(tool->wait(kPatience), 128 + SIGKILL);
        return;
      }
      auto start = std::chrono::steady_clock::now();
      tool->write("x\n");
      EXPECT_EQ(tool->readLine(kPatience), kUnmuted);
      EXPECT_EQ(tool->wait(kPatience), 0);
      EXPECT_LT(std::chrono::steady_clock::now() - start, 1s) << "the host waited on the server";
    };
    if (order.endWhileDown) end();
    ASSERT_NO_FATAL_FAILURE(restartServer());
    if (!order.endWhileDown) {
      // The application's stream on the new server is silenced while the hold lasts.
      ASSERT_TRUE(waitForStream(environment_, target.pid(), kPatience));
      EXPECT_TRUE(recorder_->waitTotalSilence(kPatience));
      EXPECT_TRUE(staysSilent(440));
      end();
    }

    EXPECT_TRUE(recorder_->waitAudible(440, kLevel, kPatience));
    EXPECT_TRUE(waitUntilGone(guardian)) << "the guardian outlived its work";
    EXPECT_TRUE(waitForNoStreamMuted(target.pid()));
    EXPECT_TRUE(staysUnmuted(target.pid()));
    expectNoRememberedMute(target, application, 1000);
    tones_.clear();
    ASSERT_TRUE(recorder_->waitTotalSilence(kPatience));
  }
}

TEST_P(RealServerFaultTest, AMuteTheServerRemembersForTheUserOutlastsTheTool) {
  for (bool kill : {false, true}) {
    SCOPED_TRACE(kill ? "SIGKILL" : "released");
    std::string name = uniqueProcessName("vusr");
    std::string application = "Meeting " + name;
    Tone& target = startAudibleTone(name, 440, application);
    // A second stream under the same memory name, which the user mutes: the server remembers
    // the application muted.
    target.process().write("1000\n");
    ASSERT_TRUE(recorder_->waitAudible(1000, kLevel, kPatience));
    ASSERT_TRUE(waitFor([&] { return streamsOf(environment_, target.pid()).size() == 2; }));
    std::uint32_t userMuted = streamsOf(environment_, target.pid()).back().index;
    ASSERT_TRUE(pactl(environment_, {"set-sink-input-mute", std::to_string(userMuted), "1"}));
    ASSERT_TRUE(recorder_->waitSilent(1000, kPatience));

    auto tool = startTool({name});
    ASSERT_EQ(tool->readLine(kPatience), kMuted);
    ASSERT_TRUE(recorder_->waitTotalSilence(kPatience));
    pid_t guardian = guardianOf(*tool);
    if (kill) {
      tool->signal(SIGKILL);
    } else {
      tool->write("x\n");
      EXPECT_EQ(tool->readLine(kPatience), kUnmuted);
    }
    tool->wait(kPatience);
    EXPECT_TRUE(recorder_->waitAudible(440, kLevel, kPatience));
    EXPECT_TRUE(waitUntilGone(guardian));

    EXPECT_TRUE(staysSilent(1000));
    for (const PlaybackStream& stream : streamsOf(environment_, target.pid())) {
      EXPECT_EQ(stream.muted, stream.index == userMuted) << "stream " << stream.index;
    }
    EXPECT_EQ(remembersMuted(target, application, 1500), true)
        << "the user's remembered mute was lost";
    tones_.clear();
    ASSERT_TRUE(recorder_->waitTotalSilence(kPatience));
  }
}

TEST_P(RealServerFaultTest, AServerStoppedForLongStillGetsItsSoundBack) {
  std::string name = uniqueProcessName("vstop");
  std::string application = "Meeting " + name;
  Tone& target = startAudibleTone(name, 440, application);
  auto tool = startTool({name});
  ASSERT_EQ(tool->readLine(kPatience), kMuted);
  ASSERT_TRUE(recorder_->waitTotalSilence(kPatience));
  pid_t guardian = guardianOf(*tool);
  std::optional<pid_t> server = serverProcess();
  ASSERT_TRUE(server);

  // Stopped longer than the 5 seconds a guardian once waited.
  ::kill(*server, SIGSTOP);
  tool->signal(SIGKILL);
  tool->wait(kPatience);
  std::this_thread::sleep_for(6500ms);
  bool guardianWaiting = isAlive(guardian);
  ::kill(*server, SIGCONT);
  EXPECT_TRUE(guardianWaiting);
  EXPECT_TRUE(recorder_->waitAudible(440, kLevel, kPatience));
  EXPECT_TRUE(keepsSounding(440));
  EXPECT_TRUE(waitUntilGone(guardian));
  expectNoRememberedMute(target, application, 1000);
}

TEST_P(RealServerFaultTest, NothingReachesStandardErrorWithAHomeThatCannotBeWritten) {
  std::string name = uniqueProcessName("vhome");
  startAudibleTone(name, 440, "Meeting " + name);
  int run = 0;
  // libpulse can't load or make its cookie under a home that is a file, or in /proc.
  for (const char* home : {"/dev/null", "/proc"}) {
    for (const std::string& target : {name, uniqueProcessName("vnone")}) {
      SCOPED_TRACE(std::string(home) + ", " + target);
      std::string errors = directory_.path() + "/errors" + std::to_string(++run);
      Process tool("/bin/sh",
                   {"-c", "exec \"$0\" \"$1\" 2>\"$2\"", VELMURO_TOOL_BINARY, target, errors},
                   withVariables(environment_, {{"HOME", home}}));
      if (target == name) {
        EXPECT_EQ(tool.readLine(kPatience), kMuted);
        tool.write("x\n");
        EXPECT_EQ(tool.readLine(kPatience), kUnmuted);
      } else {
        EXPECT_EQ(tool.readLine(kPatience),
                  R"({"error":")" + target +
                      R"( audio process not found. Make sure it is running and playing audio."})");
      }
      tool.wait(kPatience);
      std::ifstream file(errors);
      std::ostringstream text;
      text << file.rdbuf();
      EXPECT_EQ(text.str(), "");
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Servers, RealServerFaultTest, ::testing::Values("pulseaudio", "pipewire"),
                         [](const ::testing::TestParamInfo<const char*>& server) {
                           return std::string(server.param);
                         });

// Writes a WAV file of a sine: 44.1 kHz, 16-bit stereo.
void writeSine(const std::string& path, double frequency, double amplitude, int seconds) {
  constexpr std::uint32_t kRate = 44100;
  const std::uint32_t frames = kRate * static_cast<std::uint32_t>(seconds);
  const std::uint32_t bytes = frames * 4;
  std::ofstream file(path, std::ios::binary);
  auto put = [&](auto value) { file.write(reinterpret_cast<const char*>(&value), sizeof value); };
  file.write("RIFF", 4);
  put(std::uint32_t{36 + bytes});
  file.write("WAVEfmt ", 8);
  put(std::uint32_t{16});
  put(std::uint16_t{1});
  put(std::uint16_t{2});
  put(kRate);
  put(std::uint32_t{kRate * 4});
  put(std::uint16_t{4});
  put(std::uint16_t{16});
  file.write("data", 4);
  put(bytes);
  for (std::uint32_t i = 0; i < frames; ++i) {
    auto sample = static_cast<std::int16_t>(
        std::lround(32767 * amplitude * std::sin(2 * M_PI * frequency * i / kRate)));
    put(sample);
    put(sample);
  }
}

// PipeWire records the PID of a native client from its socket's credentials; PulseAudio records
// none, so there a client's PID is what it says.
class PipeWireClientTest : public RealServerTest {};

TEST_P(PipeWireClientTest, TheSocketsCredentialsOutweighThePIDAClientClaims) {
  // A native PipeWire player that claims, in its own properties, the PID of a host.
  Process host("/bin/sleep", {"60"}, {});
  std::string config = directory_.path() + "/config";
  for (const char* file : {"client.conf.d", "client-rt.conf.d"}) {
    std::filesystem::create_directories(config + "/pipewire/" + file);
    std::ofstream(config + "/pipewire/" + file + "/claim.conf")
        << "context.properties = {\n  application.process.id = " << host.pid() << "\n}\n";
  }
  std::string sound = directory_.path() + "/sine.wav";
  writeSine(sound, 700, kLevel, 30);
  std::string name = uniqueProcessName("vclaim");
  std::filesystem::create_symlink("/usr/bin/pw-cat", directory_.path() + "/" + name);
  Process player(directory_.path() + "/" + name, {"--playback", sound},
                 withVariables(environment_, {{"XDG_CONFIG_HOME", config}}));
  ASSERT_TRUE(recorder_->waitAudible(700, kLevel, kPatience));

  for (const std::vector<std::string>& arguments :
       {std::vector<std::string>{name}, {"--system", std::to_string(host.pid())}}) {
    SCOPED_TRACE(arguments.front());
    auto tool = startTool(arguments);
    ASSERT_EQ(tool->readLine(kPatience), kMuted);
    EXPECT_TRUE(recorder_->waitSilent(700, kPatience));
    EXPECT_TRUE(staysSilent(700));
    tool->write("x\n");
    EXPECT_EQ(tool->readLine(kPatience), kUnmuted);
    EXPECT_TRUE(recorder_->waitAudible(700, kLevel, kPatience));
  }
}

INSTANTIATE_TEST_SUITE_P(Servers, PipeWireClientTest, ::testing::Values("pipewire"),
                         [](const ::testing::TestParamInfo<const char*>& server) {
                           return std::string(server.param);
                         });

}  // namespace
}  // namespace velmuro::testing
