#include "platform/linux/test_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace velmuro::testing {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

}  // namespace

// Runs a command to its end, giving its standard output and its exit status.
std::pair<std::string, int> runToEnd(const std::string& path,
                                     const std::vector<std::string>& arguments,
                                     const Environment& environment,
                                     std::chrono::milliseconds timeout) {
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

std::optional<Environment> startScriptedService(const std::string& script,
                                                const std::vector<std::string>& arguments,
                                                const std::string& dirVariable,
                                                std::string* error) {
  std::string path = std::string(VELMURO_SOURCE_DIR) + "/scripts/" + script;
  // The script reports why on standard error: collect it through a file.
  TemporaryDirectory scratch;
  std::string errors = scratch.path() + "/errors";
  std::vector<std::string> shell{"-c", "exec \"$@\" 2>\"$0\"", errors, path, "start"};
  shell.insert(shell.end(), arguments.begin(), arguments.end());
  auto [out, status] = runToEnd("/bin/sh", shell, {});
  Environment environment;
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("export ", 0) != 0) continue;
    std::size_t equals = line.find('=');
    if (equals == std::string::npos) continue;
    environment[line.substr(7, equals - 7)] = line.substr(equals + 1);
  }
  if (status != 0 || environment.count(dirVariable) == 0) {
    std::ifstream file(errors);
    std::ostringstream text;
    text << file.rdbuf();
    std::string command = "scripts/" + script + " start";
    for (const std::string& argument : arguments) command += " " + argument;
    *error = command + " failed: " + text.str();
    return std::nullopt;
  }
  return environment;
}

void stopScriptedService(const std::string& script, const std::string& dir) {
  runToEnd(std::string(VELMURO_SOURCE_DIR) + "/scripts/" + script, {"stop", dir}, {});
}

bool inCI() {
  const char* ci = std::getenv("CI");
  return ci != nullptr && std::string(ci) == "true";
}

Environment withVariables(Environment base, const Environment& more) {
  for (const auto& [name, value] : more) base[name] = value;
  return base;
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
