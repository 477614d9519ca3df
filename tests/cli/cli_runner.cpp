#include "cli/cli_runner.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace velmuro::testing {

namespace {

std::string readFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

void makePipe(int fds[2]) {
  if (::pipe(fds) != 0) throw std::runtime_error("pipe failed");
  for (int i = 0; i < 2; ++i) ::fcntl(fds[i], F_SETFD, FD_CLOEXEC);
}

}  // namespace

VelmuroProcess::VelmuroProcess(const std::vector<std::string>& args,
                               const std::optional<std::string>& worldJson, const HostSetup& host) {
  char dirTemplate[] = "/tmp/velmuro-cli-XXXXXX";
  if (::mkdtemp(dirTemplate) == nullptr) throw std::runtime_error("mkdtemp failed");
  dir_ = dirTemplate;

  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    if (std::strncmp(*e, "VELMURO_SIM_", 12) != 0) env.emplace_back(*e);
  }
  if (worldJson) {
    std::ofstream(dir_ + "/world.json", std::ios::binary) << *worldJson;
    env.push_back("VELMURO_SIM_WORLD=" + dir_ + "/world.json");
    env.push_back("VELMURO_SIM_TRACE=" + dir_ + "/trace.jsonl");
  }
  for (const std::string& setting : host.environment) {
    std::string name = setting.substr(0, setting.find('=') + 1);
    std::erase_if(env, [&](const std::string& e) { return e.starts_with(name); });
    env.push_back(setting);
  }

  int in[2], out[2], err[2];
  makePipe(in);
  makePipe(out);
  makePipe(err);
  if (host.nonBlockingInput) ::fcntl(in[0], F_SETFL, O_NONBLOCK);
  if (host.nonBlockingOutput) ::fcntl(out[1], F_SETFL, O_NONBLOCK);
  if (host.outputReaderGone) {
    ::close(out[0]);
    out[0] = -1;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  const int childEnds[3] = {in[0], out[1], err[1]};
  for (int fd = 0; fd < 3; ++fd) {
    bool closed = std::find(host.closedDescriptors.begin(), host.closedDescriptors.end(), fd) !=
                  host.closedDescriptors.end();
    if (closed) {
      posix_spawn_file_actions_addclose(&actions, fd);
    } else {
      posix_spawn_file_actions_adddup2(&actions, childEnds[fd], fd);
    }
  }
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t mask;
  sigemptyset(&mask);
  for (int signal : host.blockedSignals) sigaddset(&mask, signal);
  posix_spawnattr_setsigmask(&attributes, &mask);
  // The tool starts with SIGPIPE at its default, as a host's children do, although this test
  // process ignores it.
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  std::vector<std::string> argvText{VELMURO_BINARY};
  argvText.insert(argvText.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : argvText) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);

  int rc = posix_spawn(&pid_, VELMURO_BINARY, &actions, &attributes, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  inFd_ = in[1];
  outFd_ = out[0];
  errFd_ = err[0];
  if (rc != 0) throw std::runtime_error("cannot start " + std::string(VELMURO_BINARY));
  // A tool that dies must not take the test down with SIGPIPE.
  ::signal(SIGPIPE, SIG_IGN);
}

VelmuroProcess::~VelmuroProcess() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  for (int fd : {inFd_, outFd_, errFd_}) {
    if (fd >= 0) ::close(fd);
  }
  std::system(("rm -rf '" + dir_ + "'").c_str());
}

bool VelmuroProcess::readChunk(int timeoutMs) {
  if (outFd_ < 0) return false;
  pollfd p{outFd_, POLLIN, 0};
  int ready = ::poll(&p, 1, timeoutMs);
  if (ready <= 0) return false;
  char buffer[4096];
  ssize_t n = ::read(outFd_, buffer, sizeof buffer);
  if (n <= 0) return false;
  out_.append(buffer, static_cast<std::size_t>(n));
  return true;
}

std::optional<std::string> VelmuroProcess::readLine(std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (true) {
    std::size_t end = out_.find('\n', consumed_);
    if (end != std::string::npos) {
      std::string line = out_.substr(consumed_, end - consumed_);
      consumed_ = end + 1;
      return line;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || !readChunk(static_cast<int>(left.count()))) return std::nullopt;
  }
}

bool VelmuroProcess::staysQuiet(std::chrono::milliseconds wait) {
  std::size_t before = out_.size();
  auto deadline = std::chrono::steady_clock::now() + wait;
  while (std::chrono::steady_clock::now() < deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (!readChunk(static_cast<int>(std::max<long>(1, left.count())))) {
      pollfd p{outFd_, POLLIN, 0};
      if (::poll(&p, 1, 0) > 0 && (p.revents & POLLHUP)) return false;  // output closed: exited
    }
  }
  int status;
  return out_.size() == before && ::waitpid(pid_, &status, WNOHANG) == 0;
}

void VelmuroProcess::writeInput(const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(inFd_, bytes.data() + done, bytes.size() - done);
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
}

void VelmuroProcess::closeInput() {
  if (inFd_ >= 0) ::close(inFd_);
  inFd_ = -1;
}

void VelmuroProcess::sendSignal(int signal) { ::kill(pid_, signal); }

std::vector<sim::json::Value> VelmuroProcess::traceSoFar() const {
  std::vector<sim::json::Value> lines;
  std::istringstream trace(readFile(dir_ + "/trace.jsonl"));
  for (std::string line; std::getline(trace, line);) {
    if (auto value = sim::json::parse(line)) lines.push_back(std::move(*value));
  }
  return lines;
}

CliRun VelmuroProcess::finish() {
  closeInput();
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (std::chrono::steady_clock::now() < deadline && readChunk(1000)) {
  }
  CliRun run;
  run.out = out_;
  std::size_t start = 0;
  for (std::size_t end; (end = out_.find('\n', start)) != std::string::npos; start = end + 1) {
    run.lines.push_back(out_.substr(start, end - start));
  }
  int status = 0;
  if (::waitpid(pid_, &status, 0) == pid_) {
    if (WIFEXITED(status)) run.exitStatus = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) run.signal = WTERMSIG(status);
  }
  pid_ = -1;
  char buffer[4096];
  for (ssize_t n; (n = ::read(errFd_, buffer, sizeof buffer)) > 0;) {
    run.err.append(buffer, static_cast<std::size_t>(n));
  }
  run.traceText = readFile(dir_ + "/trace.jsonl");
  run.trace = traceSoFar();
  return run;
}

CliRun runVelmuro(const std::vector<std::string>& args, const std::optional<std::string>& worldJson,
                  const std::string& input) {
  VelmuroProcess process(args, worldJson);
  process.writeInput(input);
  return process.finish();
}

CliRun runVelmuroWith(const std::vector<std::string>& args,
                      const std::vector<std::string>& environment) {
  VelmuroProcess process(args, std::nullopt, {.environment = environment});
  return process.finish();
}

std::string worldFile(const std::string& name) {
  std::string text = readFile(std::string(VELMURO_SOURCE_DIR) + "/worlds/" + name);
  EXPECT_FALSE(text.empty()) << name;
  return text;
}

std::string replaced(std::string text, const std::string& from, const std::string& to) {
  std::size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

std::vector<sim::json::Value> tracedCalls(const CliRun& run, const std::string& call) {
  std::vector<sim::json::Value> calls;
  for (const sim::json::Value& line : run.trace) {
    const sim::json::Value* name = line.find("call");
    if (name && name->isString() && name->asString() == call) calls.push_back(line);
  }
  return calls;
}

sim::json::Value finalState(const CliRun& run) {
  for (const sim::json::Value& line : run.trace) {
    if (const sim::json::Value* state = line.find("final")) return *state;
  }
  return nullptr;
}

}  // namespace velmuro::testing
