#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/linux/test_process.h"

namespace velmuro::testing {

// A private headless sound server started by scripts/sound-server, stopped when it goes.
class SoundServer {
 public:
  // Starts "pulseaudio" or "pipewire"; absent, with the script's complaint in *error, when it
  // does not come up.
  static std::optional<SoundServer> start(const std::string& kind, std::string* error);
  SoundServer(SoundServer&& other) noexcept;
  SoundServer& operator=(SoundServer&& other) noexcept;
  ~SoundServer();

  // The variables a client of this server runs with (XDG_RUNTIME_DIR, PULSE_SERVER, ...).
  const Environment& environment() const { return environment_; }
  // The PID of the server's own process of this name ("pulseaudio", "pipewire-pulse", ...).
  std::optional<pid_t> process(const std::string& name) const;
  // Stops the server now.
  void stop();
  // Kills the server's processes at once, as a crash would, keeping its runtime and home; false,
  // with the script's complaint in *error, when that fails.
  bool kill(std::string* error);
  // Starts the server again where it ran (killing what still runs), with the same environment.
  bool restart(std::string* error);

 private:
  explicit SoundServer(Environment environment) : environment_(std::move(environment)) {}
  Environment environment_;
};

// Records the test sink's monitor for the whole test with one low-latency parec, and answers
// how strongly a frequency sounds in the latest audio.
class MonitorRecorder {
 public:
  static constexpr int kRate = 44100;

  explicit MonitorRecorder(const Environment& environment);
  ~MonitorRecorder();

  // Frames recorded so far: the audio clock.
  std::size_t frames() const;
  // The amplitude of a sine at this frequency over the 50 ms ending at frame end.
  double amplitude(double frequency, std::size_t end) const;
  // The largest absolute sample over these frames, full scale 1.
  double peak(std::size_t begin, std::size_t end) const;
  // Waits until the next full 50 ms block satisfies the test; false after the timeout.
  bool waitForBlock(const std::function<bool(std::size_t end)>& test,
                    std::chrono::milliseconds timeout);
  // Waits until a frequency sounds at about this amplitude (audible) or not at all (silent).
  bool waitAudible(double frequency, double amplitude, std::chrono::milliseconds timeout);
  bool waitSilent(double frequency, std::chrono::milliseconds timeout);
  // Waits until the monitor carries nothing at all: every sample exactly 0.
  bool waitTotalSilence(std::chrono::milliseconds timeout);
  // Waits for this many more frames to arrive.
  bool waitFrames(std::size_t count, std::chrono::milliseconds timeout);

 private:
  std::optional<Process> parec_;
  mutable std::mutex mutex_;
  std::vector<std::int16_t> left_;
  std::thread reader_;
  std::atomic<bool> stopping_{false};
};

// A tone player (velmuro-tone) running under its own process name; with reconnect set it
// connects again when the server goes away and comes back, as desktop applications do.
class Tone {
 public:
  Tone(const TemporaryDirectory& directory, const std::string& processName, double frequency,
       double amplitude, const std::string& applicationName, const Environment& environment,
       bool reconnect = false);
  pid_t pid() const { return process_.pid(); }
  Process& process() { return process_; }

 private:
  Process process_;
};

// The server's playback streams as pactl lists them: index, owning PID and mute.
struct PlaybackStream {
  std::uint32_t index = 0;
  pid_t pid = 0;
  bool muted = false;
};
std::vector<PlaybackStream> listPlaybackStreams(const Environment& environment);
// The playback streams of one process.
std::vector<PlaybackStream> streamsOf(const Environment& environment, pid_t pid);
// Waits until the process has a playback stream, giving it.
std::optional<PlaybackStream> waitForStream(const Environment& environment, pid_t pid,
                                            std::chrono::milliseconds timeout);
// Runs pactl with these arguments; true when it succeeds.
bool pactl(const Environment& environment, const std::vector<std::string>& arguments);

}  // namespace velmuro::testing
