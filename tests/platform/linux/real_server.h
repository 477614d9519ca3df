#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace velmuro::testing {

using Environment = std::map<std::string, std::string>;

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

 private:
  explicit SoundServer(Environment environment) : environment_(std::move(environment)) {}
  Environment environment_;
};

// A child process with its standard input and output as pipes (standard error discarded).
class Process {
 public:
  // Starts the executable at path with these arguments, the test's environment and these
  // variables on top; in a process group of its own when newGroup is set.
  Process(const std::string& path, const std::vector<std::string>& arguments,
          const Environment& environment, bool newGroup = false);
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  pid_t pid() const { return pid_; }
  // The read end of the process's standard output.
  int output() const { return out_; }
  // The next line of output without its line feed; absent at end of output or timeout.
  std::optional<std::string> readLine(std::chrono::milliseconds timeout);
  // True when output reaches its end (every writer has closed it) within the timeout.
  bool outputEndsWithin(std::chrono::milliseconds timeout);
  void write(const std::string& bytes);
  void closeInput();
  void signal(int signal);
  // Waits for the exit: the exit status, or 128 + the signal that ended it; absent on timeout.
  std::optional<int> wait(std::chrono::milliseconds timeout);

 private:
  bool readChunk(std::chrono::milliseconds timeout);
  pid_t pid_ = -1;
  int in_ = -1;
  int out_ = -1;
  std::string buffer_;
  bool ended_ = false;
  bool reaped_ = false;
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

// A directory for this test's files, removed at the end.
class TemporaryDirectory {
 public:
  TemporaryDirectory();
  ~TemporaryDirectory();
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// A process name no other process has (at most 15 characters, as pgrep sees names).
std::string uniqueProcessName(const std::string& prefix);

// A tone player (velmuro-tone) running under its own process name.
class Tone {
 public:
  Tone(const TemporaryDirectory& directory, const std::string& processName, double frequency,
       double amplitude, const std::string& applicationName, const Environment& environment);
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
// Waits until the process has a playback stream, giving it.
std::optional<PlaybackStream> waitForStream(const Environment& environment, pid_t pid,
                                            std::chrono::milliseconds timeout);
// Runs pactl with these arguments; true when it succeeds.
bool pactl(const Environment& environment, const std::vector<std::string>& arguments);

// The PIDs of a process's children, from /proc.
std::vector<pid_t> childrenOf(pid_t parent);
// True while a process exists and is no zombie.
bool isAlive(pid_t pid);

// Merges environments, the later winning.
Environment withVariables(Environment base, const Environment& more);

}  // namespace velmuro::testing
