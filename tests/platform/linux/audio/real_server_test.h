#pragma once

// The fixture of the shipped tool's tests against real sound servers, PulseAudio and PipeWire,
// each started headless for the test with a private runtime directory and a null sink, and heard
// on the sink's monitor.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/linux/audio/sound_server.h"

namespace velmuro::testing {

using namespace std::chrono_literals;

inline constexpr const char* kMuted = R"({"status":"muted"})";
inline constexpr const char* kUnmuted = R"({"status":"unmuted"})";
inline constexpr double kLevel = 0.3;
// Generous against a loaded machine; the conditions are met within tens of milliseconds.
inline constexpr std::chrono::seconds kPatience{5};

class RealServerTest : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    std::string error;
    server_ = SoundServer::start(GetParam(), &error);
    if (!server_) {
      if (inCI()) FAIL() << error;
      GTEST_SKIP() << error;
    }
    environment_ = server_->environment();
    recorder_ = std::make_unique<MonitorRecorder>(environment_);
    ASSERT_TRUE(recorder_->waitFrames(MonitorRecorder::kRate / 10, 10s))
        << "the monitor delivers no audio";
  }

  Tone& startTone(const std::string& processName, double frequency,
                  const std::string& applicationName, bool reconnect = false) {
    tones_.push_back(std::make_unique<Tone>(directory_, processName, frequency, kLevel,
                                            applicationName, environment_, reconnect));
    return *tones_.back();
  }

  // Starts a tone and waits until the monitor carries it.
  Tone& startAudibleTone(const std::string& processName, double frequency,
                         const std::string& applicationName, bool reconnect = false) {
    Tone& tone = startTone(processName, frequency, applicationName, reconnect);
    EXPECT_TRUE(recorder_->waitAudible(frequency, kLevel, kPatience))
        << frequency << " Hz never sounded";
    return tone;
  }

  std::unique_ptr<Process> startTool(const std::vector<std::string>& arguments,
                                     bool newGroup = false) {
    return std::make_unique<Process>(VELMURO_TOOL_BINARY, arguments, environment_, newGroup);
  }

  // True when the frequency stays silent over the next 300 ms. A muted stream adds exactly
  // nothing; the margin is for the splatter of another tone's dropout on a loaded machine.
  bool staysSilent(double frequency) {
    return !recorder_->waitForBlock(
        [&](std::size_t end) { return recorder_->amplitude(frequency, end) >= 0.1 * kLevel; },
        300ms);
  }

  // True when the frequency keeps sounding over the next 300 ms, dropouts aside.
  bool keepsSounding(double frequency) {
    return !recorder_->waitForBlock(
        [&](std::size_t end) { return recorder_->amplitude(frequency, end) < 0.3 * kLevel; },
        300ms);
  }

  std::optional<bool> streamMuted(pid_t pid) {
    std::optional<PlaybackStream> stream = waitForStream(environment_, pid, kPatience);
    if (!stream) return std::nullopt;
    return stream->muted;
  }

  // The tool's guardian: its one child once the pgrep runs are over.
  pid_t guardianOf(const Process& tool) {
    std::vector<pid_t> children = childrenOf(tool.pid());
    EXPECT_EQ(children.size(), 1u);
    return children.empty() ? -1 : children.front();
  }

  // The process that serves the PulseAudio protocol.
  std::optional<pid_t> serverProcess() {
    return server_->process(std::string(GetParam()) == "pipewire" ? "pipewire-pulse"
                                                                  : "pulseaudio");
  }

  bool waitForNoStreams() {
    auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (!listPlaybackStreams(environment_).empty()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(5ms);
    }
    return true;
  }

  // Kills the server as a crash would; the monitor's recorder goes with it.
  void killServer() {
    recorder_.reset();
    std::string error;
    ASSERT_TRUE(server_->kill(&error)) << error;
  }

  // Starts the killed server again where it ran, and records its monitor anew.
  void restartServer() {
    recorder_.reset();
    std::string error;
    ASSERT_TRUE(server_->restart(&error)) << error;
    recorder_ = std::make_unique<MonitorRecorder>(environment_);
    ASSERT_TRUE(recorder_->waitFrames(MonitorRecorder::kRate / 10, 10s))
        << "the monitor delivers no audio";
  }

  // True once the process has a stream and none of its streams is muted, within the patience.
  bool waitForNoStreamMuted(pid_t pid) {
    return waitFor([&] {
      std::vector<PlaybackStream> streams = streamsOf(environment_, pid);
      return !streams.empty() && std::none_of(streams.begin(), streams.end(),
                                              [](const PlaybackStream& s) { return s.muted; });
    });
  }

  // True when no stream of the process is muted at any look over the next 500 ms. Unlike the
  // monitor, this does not mind the dropouts of a server just started on a loaded machine.
  bool staysUnmuted(pid_t pid) {
    auto until = std::chrono::steady_clock::now() + 500ms;
    while (std::chrono::steady_clock::now() < until) {
      for (const PlaybackStream& stream : streamsOf(environment_, pid)) {
        if (stream.muted) return false;
      }
      std::this_thread::sleep_for(20ms);
    }
    return true;
  }

  // Has the tone's process open one more stream, and gives whether it is muted once the server's
  // memory has had its say (WirePlumber applies it a few milliseconds after the stream appears).
  std::optional<bool> nextStreamMuted(Tone& tone, double frequency) {
    std::vector<PlaybackStream> before = streamsOf(environment_, tone.pid());
    tone.process().write(std::to_string(static_cast<int>(frequency)) + "\n");
    std::optional<std::uint32_t> next;
    waitFor([&] {
      for (const PlaybackStream& stream : streamsOf(environment_, tone.pid())) {
        bool known = std::any_of(before.begin(), before.end(), [&](const PlaybackStream& old) {
          return old.index == stream.index;
        });
        if (!known) next = stream.index;
      }
      return next.has_value();
    });
    if (!next) return std::nullopt;
    std::this_thread::sleep_for(500ms);
    for (const PlaybackStream& stream : streamsOf(environment_, tone.pid())) {
      if (stream.index == *next) return stream.muted;
    }
    return std::nullopt;
  }

  // What WirePlumber remembers of an application's mute, from the state it writes a second
  // after each change: unlike a new stream, which pipewire-pulse's own setup races with
  // WirePlumber's restore on a loaded machine. Absent when it remembers nothing.
  std::optional<bool> wirePlumberRemembersMuted(const std::string& applicationName) {
    std::this_thread::sleep_for(1500ms);
    std::ifstream state(environment_.at("HOME") + "/.local/state/wireplumber/restore-stream");
    std::string key = "Output/Audio:application.name:";
    for (char c : applicationName) key += c == ' ' ? std::string("\\s") : std::string(1, c);
    key += ":mute=";
    for (std::string line; std::getline(state, line);) {
      if (line.rfind(key, 0) == 0) return line.substr(key.size()) == "true";
    }
    return std::nullopt;
  }

  // Whether the server remembers an application muted: on PipeWire what WirePlumber has stored,
  // on PulseAudio how the tone's next stream starts (it applies its memory as it creates it).
  std::optional<bool> remembersMuted(Tone& tone, const std::string& applicationName,
                                     double frequency) {
    if (std::string(GetParam()) == "pipewire") return wirePlumberRemembersMuted(applicationName);
    return nextStreamMuted(tone, frequency);
  }

  // Checks that the server remembers nothing of the tool's mute: the application's next stream
  // starts unmuted, and on PipeWire what WirePlumber stored (read first: a new stream stores its
  // own state) is no mute either.
  void expectNoRememberedMute(Tone& tone, const std::string& applicationName, double frequency) {
    if (std::string(GetParam()) == "pipewire") {
      EXPECT_NE(wirePlumberRemembersMuted(applicationName), true) << "WirePlumber kept the mute";
    }
    EXPECT_EQ(nextStreamMuted(tone, frequency), false) << "the next stream started muted";
  }

  // Polls until the condition holds, within the patience.
  static bool waitFor(const std::function<bool()>& condition) {
    auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (!condition()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(10ms);
    }
    return true;
  }

  static bool waitUntilGone(pid_t pid) {
    auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (isAlive(pid)) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(5ms);
    }
    return true;
  }

  std::optional<SoundServer> server_;
  Environment environment_;
  std::unique_ptr<MonitorRecorder> recorder_;
  TemporaryDirectory directory_;
  std::vector<std::unique_ptr<Tone>> tones_;
};

}  // namespace velmuro::testing
