#include "platform/linux/audio/sound_server.h"

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace velmuro::testing {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr std::size_t kBlock = MonitorRecorder::kRate / 20;  // 50 ms

std::string scriptPath() { return std::string(VELMURO_SOURCE_DIR) + "/scripts/sound-server"; }

// Runs the script with a command and an argument: its output, and on failure its complaint (which
// it writes on standard error, collected through a file) in *error.
std::optional<std::string> runScript(const std::string& command, const std::string& argument,
                                     std::string* error) {
  TemporaryDirectory scratch;
  std::string errors = scratch.path() + "/errors";
  auto [out, status] = runToEnd(
      "/bin/sh",
      {"-c", "exec \"$0\" \"$1\" \"$2\" 2>\"$3\"", scriptPath(), command, argument, errors}, {});
  if (status == 0) return out;
  std::ifstream file(errors);
  std::ostringstream text;
  text << file.rdbuf();
  *error = "scripts/sound-server " + command + " " + argument + " failed (status " +
           std::to_string(status) + "): " + text.str();
  return std::nullopt;
}

}  // namespace

// Sound server.

std::optional<SoundServer> SoundServer::start(const std::string& kind, std::string* error) {
  std::optional<Environment> environment =
      startScriptedService("sound-server", {kind}, "SOUND_SERVER_DIR", error);
  if (!environment) return std::nullopt;
  environment->insert_or_assign("LC_ALL", std::string("C"));
  return SoundServer(std::move(*environment));
}

SoundServer::SoundServer(SoundServer&& other) noexcept
    : environment_(std::move(other.environment_)) {
  other.environment_.clear();
}

SoundServer& SoundServer::operator=(SoundServer&& other) noexcept {
  if (this != &other) {
    stop();
    environment_ = std::move(other.environment_);
    other.environment_.clear();
  }
  return *this;
}

SoundServer::~SoundServer() { stop(); }

std::optional<pid_t> SoundServer::process(const std::string& name) const {
  auto dir = environment_.find("SOUND_SERVER_DIR");
  if (dir == environment_.end()) return std::nullopt;
  std::ifstream file(dir->second + "/pids");
  pid_t pid = 0;
  for (std::string listed; file >> pid >> listed;) {
    if (listed == name) return pid;
  }
  return std::nullopt;
}

void SoundServer::stop() {
  auto dir = environment_.find("SOUND_SERVER_DIR");
  if (dir == environment_.end()) return;
  stopScriptedService("sound-server", dir->second);
  environment_.clear();
}

bool SoundServer::kill(std::string* error) {
  auto dir = environment_.find("SOUND_SERVER_DIR");
  return dir != environment_.end() && runScript("kill", dir->second, error);
}

bool SoundServer::restart(std::string* error) {
  auto dir = environment_.find("SOUND_SERVER_DIR");
  return dir != environment_.end() && runScript("restart", dir->second, error);
}

MonitorRecorder::MonitorRecorder(const Environment& environment) {
  parec_.emplace("/usr/bin/parec",
                 std::vector<std::string>{"--device=testsink.monitor", "--latency-msec=20", "--raw",
                                          "--format=s16le", "--rate=44100", "--channels=2"},
                 environment);
  parec_->closeInput();
  reader_ = std::thread([this] {
    int fd = parec_->output();
    std::vector<char> pending;
    char chunk[8192];
    while (!stopping_) {
      pollfd descriptor{fd, POLLIN, 0};
      if (::poll(&descriptor, 1, 50) <= 0) continue;
      ssize_t n = ::read(fd, chunk, sizeof chunk);
      if (n <= 0) break;
      pending.insert(pending.end(), chunk, chunk + n);
      std::size_t frames = pending.size() / 4;
      std::lock_guard<std::mutex> lock(mutex_);
      for (std::size_t i = 0; i < frames; ++i) {
        std::int16_t sample;
        std::memcpy(&sample, pending.data() + 4 * i, 2);
        left_.push_back(sample);
      }
      pending.erase(pending.begin(), pending.begin() + static_cast<long>(4 * frames));
    }
  });
}

MonitorRecorder::~MonitorRecorder() {
  stopping_ = true;
  parec_->signal(SIGKILL);
  reader_.join();
}

std::size_t MonitorRecorder::frames() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return left_.size();
}

double MonitorRecorder::amplitude(double frequency, std::size_t end) const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (end > left_.size() || end < kBlock) return 0;
  // Goertzel over one 50 ms block: every test frequency is a multiple of 20 Hz, so whole
  // periods fit and other tones leak nothing into the bin.
  const double w = 2 * M_PI * frequency / kRate;
  const double coefficient = 2 * std::cos(w);
  double s1 = 0, s2 = 0;
  for (std::size_t i = end - kBlock; i < end; ++i) {
    double s = left_[i] / 32768.0 + coefficient * s1 - s2;
    s2 = s1;
    s1 = s;
  }
  double real = s1 - s2 * std::cos(w);
  double imaginary = s2 * std::sin(w);
  return 2 * std::sqrt(real * real + imaginary * imaginary) / kBlock;
}

double MonitorRecorder::peak(std::size_t begin, std::size_t end) const {
  std::lock_guard<std::mutex> lock(mutex_);
  double peak = 0;
  for (std::size_t i = begin; i < end && i < left_.size(); ++i) {
    peak = std::max(peak, std::abs(left_[i] / 32768.0));
  }
  return peak;
}

bool MonitorRecorder::waitForBlock(const std::function<bool(std::size_t end)>& test,
                                   std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  // Only blocks recorded wholly after the call count.
  std::size_t next = frames() + kBlock;
  while (Clock::now() < deadline) {
    std::size_t now = frames();
    if (now >= next) {
      if (test(now)) return true;
      next = now + 441;
    }
    std::this_thread::sleep_for(2ms);
  }
  return false;
}

bool MonitorRecorder::waitAudible(double frequency, double amplitude,
                                  std::chrono::milliseconds timeout) {
  return waitForBlock(
      [&](std::size_t end) {
        double heard = this->amplitude(frequency, end);
        return heard > 0.8 * amplitude && heard < 1.2 * amplitude;
      },
      timeout);
}

bool MonitorRecorder::waitSilent(double frequency, std::chrono::milliseconds timeout) {
  // A muted stream adds exactly nothing; the margin is for the splatter of another tone's
  // dropout on a loaded machine.
  return waitForBlock([&](std::size_t end) { return this->amplitude(frequency, end) < 0.03; },
                      timeout);
}

bool MonitorRecorder::waitTotalSilence(std::chrono::milliseconds timeout) {
  return waitForBlock([&](std::size_t end) { return peak(end - kBlock, end) == 0; }, timeout);
}

bool MonitorRecorder::waitFrames(std::size_t count, std::chrono::milliseconds timeout) {
  std::size_t target = frames() + count;
  auto deadline = Clock::now() + timeout;
  while (frames() < target) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(2ms);
  }
  return true;
}

Tone::Tone(const TemporaryDirectory& directory, const std::string& processName, double frequency,
           double amplitude, const std::string& applicationName, const Environment& environment,
           bool reconnect)
    : process_(
          [&] {
            std::string link = directory.path() + "/" + processName;
            // Several processes may share a name.
            if (!std::filesystem::is_symlink(link)) {
              std::filesystem::create_symlink(VELMURO_TONE_BINARY, link);
            }
            return link;
          }(),
          [&] {
            std::vector<std::string> arguments{std::to_string(frequency), std::to_string(amplitude),
                                               applicationName};
            if (reconnect) arguments.insert(arguments.begin(), "--reconnect");
            return arguments;
          }(),
          environment) {}

// The server, through pactl.

bool pactl(const Environment& environment, const std::vector<std::string>& arguments) {
  return runToEnd("/usr/bin/pactl", arguments, environment).second == 0;
}

std::vector<PlaybackStream> listPlaybackStreams(const Environment& environment) {
  std::vector<PlaybackStream> streams;
  std::istringstream lines(runToEnd("/usr/bin/pactl", {"list", "sink-inputs"}, environment).first);
  for (std::string line; std::getline(lines, line);) {
    std::size_t start = line.find_first_not_of(" \t");
    if (start == std::string::npos) continue;
    line.erase(0, start);
    if (line.rfind("Sink Input #", 0) == 0) {
      streams.push_back({static_cast<std::uint32_t>(std::stoul(line.substr(12))), 0, false});
    } else if (!streams.empty() && line.rfind("Mute: ", 0) == 0) {
      streams.back().muted = line == "Mute: yes";
    } else if (!streams.empty() && line.rfind("application.process.id = \"", 0) == 0) {
      streams.back().pid = std::atoi(line.c_str() + 26);
    }
  }
  return streams;
}

std::vector<PlaybackStream> streamsOf(const Environment& environment, pid_t pid) {
  std::vector<PlaybackStream> streams = listPlaybackStreams(environment);
  std::erase_if(streams, [&](const PlaybackStream& stream) { return stream.pid != pid; });
  return streams;
}

std::optional<PlaybackStream> waitForStream(const Environment& environment, pid_t pid,
                                            std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  while (Clock::now() < deadline) {
    for (const PlaybackStream& stream : listPlaybackStreams(environment)) {
      if (stream.pid == pid) return stream;
    }
    std::this_thread::sleep_for(10ms);
  }
  return std::nullopt;
}

// /proc.
}  // namespace velmuro::testing
