#include "platform/linux/real_server.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

extern char** environ;

namespace velmuro::testing {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr std::size_t kBlock = MonitorRecorder::kRate / 20;  // 50 ms

std::string scriptPath() { return std::string(VELMURO_SOURCE_DIR) + "/scripts/sound-server"; }

// Runs a command to its end, giving its standard output and its exit status.
std::pair<std::string, int> runToEnd(const std::string& path,
                                     const std::vector<std::string>& arguments,
                                     const Environment& environment,
                                     std::chrono::milliseconds timeout = 20s) {
  Process process(path, arguments, environment);
  process.closeInput();
  std::string out;
  auto deadline = Clock::now() + timeout;
  while (Clock::now() < deadline) {
    std::optional<std::string> line = process.readLine(
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()));
    if (!line) break;
    out += *line + "\n";
  }
  std::optional<int> status = process.wait(1s);
  return {out, status.value_or(-1)};
}

}  // namespace

Environment withVariables(Environment base, const Environment& more) {
  for (const auto& [name, value] : more) base[name] = value;
  return base;
}

// Sound server.

std::optional<SoundServer> SoundServer::start(const std::string& kind, std::string* error) {
  // The script reports why on standard error: collect it through a file.
  TemporaryDirectory scratch;
  std::string errors = scratch.path() + "/errors";
  auto [out, status] = runToEnd(
      "/bin/sh", {"-c", "exec \"$0\" start \"$1\" 2>\"$2\"", scriptPath(), kind, errors}, {});
  Environment environment;
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("export ", 0) != 0) continue;
    std::size_t equals = line.find('=');
    if (equals == std::string::npos) continue;
    environment[line.substr(7, equals - 7)] = line.substr(equals + 1);
  }
  if (status != 0 || environment.count("SOUND_SERVER_DIR") == 0) {
    std::ifstream file(errors);
    std::ostringstream text;
    text << file.rdbuf();
    *error = "scripts/sound-server start " + kind + " failed: " + text.str();
    return std::nullopt;
  }
  environment["LC_ALL"] = "C";
  return SoundServer(std::move(environment));
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
  runToEnd(scriptPath(), {"stop", dir->second}, {});
  environment_.clear();
}

// Processes.

Process::Process(const std::string& path, const std::vector<std::string>& arguments,
                 const Environment& environment, bool newGroup) {
  int in[2], out[2];
  if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) std::abort();
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  // A clean signal state: the test runner's ignored signals would otherwise carry over.
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &all);
  short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
  if (newGroup) {
    flags |= POSIX_SPAWN_SETPGROUP;
    posix_spawnattr_setpgroup(&attributes, 0);
  }
  posix_spawnattr_setflags(&attributes, flags);

  std::vector<std::string> argText{path};
  argText.insert(argText.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& a : argText) argv.push_back(a.data());
  argv.push_back(nullptr);
  Environment merged;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string entry(*e);
    std::size_t equals = entry.find('=');
    if (equals != std::string::npos) merged[entry.substr(0, equals)] = entry.substr(equals + 1);
  }
  merged = withVariables(std::move(merged), environment);
  std::vector<std::string> envText;
  for (const auto& [name, value] : merged) envText.push_back(name + "=" + value);
  std::vector<char*> envp;
  for (std::string& e : envText) envp.push_back(e.data());
  envp.push_back(nullptr);

  if (::posix_spawn(&pid_, path.c_str(), &actions, &attributes, argv.data(), envp.data()) != 0) {
    pid_ = -1;
  }
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  ::close(in[0]);
  ::close(out[1]);
  in_ = in[1];
  out_ = out[0];
}

Process::~Process() {
  if (pid_ > 0 && !reaped_) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  if (in_ >= 0) ::close(in_);
  if (out_ >= 0) ::close(out_);
}

bool Process::readChunk(std::chrono::milliseconds timeout) {
  if (ended_) return false;
  pollfd descriptor{out_, POLLIN, 0};
  if (::poll(&descriptor, 1, static_cast<int>(timeout.count())) <= 0) return false;
  char chunk[4096];
  ssize_t n = ::read(out_, chunk, sizeof chunk);
  if (n <= 0) {
    ended_ = true;
    return false;
  }
  buffer_.append(chunk, static_cast<std::size_t>(n));
  return true;
}

std::optional<std::string> Process::readLine(std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  for (;;) {
    std::size_t end = buffer_.find('\n');
    if (end != std::string::npos) {
      std::string line = buffer_.substr(0, end);
      buffer_.erase(0, end + 1);
      return line;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left <= 0ms || !readChunk(left)) return std::nullopt;
  }
}

bool Process::outputEndsWithin(std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  while (!ended_) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left <= 0ms) return false;
    readChunk(left);
  }
  return true;
}

void Process::write(const std::string& bytes) {
  if (::write(in_, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) std::abort();
}

void Process::closeInput() {
  if (in_ >= 0) ::close(in_);
  in_ = -1;
}

void Process::signal(int signal) { ::kill(pid_, signal); }

std::optional<int> Process::wait(std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  for (;;) {
    int status = 0;
    pid_t done = ::waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      reaped_ = true;
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    if (Clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(2ms);
  }
}

// The monitor.

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

// Files and names.

TemporaryDirectory::TemporaryDirectory() {
  char path[] = "/tmp/velmuro-test-XXXXXX";
  if (::mkdtemp(path) == nullptr) std::abort();
  path_ = path;
}

TemporaryDirectory::~TemporaryDirectory() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string uniqueProcessName(const std::string& prefix) {
  static int counter = 0;
  std::string name = prefix + std::to_string(::getpid() % 100000) + "x" + std::to_string(++counter);
  return name.substr(0, 15);
}

Tone::Tone(const TemporaryDirectory& directory, const std::string& processName, double frequency,
           double amplitude, const std::string& applicationName, const Environment& environment)
    : process_(
          [&] {
            std::string link = directory.path() + "/" + processName;
            // Several processes may share a name.
            if (!std::filesystem::is_symlink(link)) {
              std::filesystem::create_symlink(VELMURO_TONE_BINARY, link);
            }
            return link;
          }(),
          {std::to_string(frequency), std::to_string(amplitude), applicationName}, environment) {}

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

namespace {

// The state letter and parent of a process, from /proc/PID/stat.
std::optional<std::pair<char, pid_t>> readStat(pid_t pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  if (!std::getline(file, text)) return std::nullopt;
  std::size_t close = text.rfind(')');
  if (close == std::string::npos || close + 4 >= text.size()) return std::nullopt;
  std::istringstream rest(text.substr(close + 2));
  char state = 0;
  pid_t parent = 0;
  rest >> state >> parent;
  return std::make_pair(state, parent);
}

}  // namespace

std::vector<pid_t> childrenOf(pid_t parent) {
  std::vector<pid_t> children;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    pid_t pid = std::atoi(name.c_str());
    auto stat = readStat(pid);
    if (stat && stat->second == parent) children.push_back(pid);
  }
  return children;
}

bool isAlive(pid_t pid) {
  auto stat = readStat(pid);
  return stat && stat->first != 'Z' && stat->first != 'X';
}

}  // namespace velmuro::testing
