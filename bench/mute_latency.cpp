// Times whole mute runs of the built binary on a generated world of ten audio processes:
// launch to the "muted" line, the pgrep runs the same mute needs when run alone (the floor),
// the release line to "unmuted", and the tool's peak resident memory while it holds.
//
//   mute_latency [runs]        (default 40 runs per case)
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "figures.h"

extern char** environ;

namespace {

using velmuro::bench::median;

using Clock = std::chrono::steady_clock;

double millisecondsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

struct Child {
  pid_t pid = -1;
  int in = -1;
  int out = -1;
};

Child spawn(const std::string& path, const std::vector<std::string>& args,
            const std::vector<std::string>& extraEnv, bool withInput) {
  int in[2] = {-1, -1}, out[2];
  if (withInput && pipe2(in, O_CLOEXEC) != 0) std::abort();
  if (pipe2(out, O_CLOEXEC) != 0) std::abort();
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (withInput) posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  std::vector<std::string> argText{path};
  argText.insert(argText.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argText) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> envText(extraEnv);
  for (char** e = environ; *e; ++e) envText.emplace_back(*e);
  std::vector<char*> envp;
  for (auto& e : envText) envp.push_back(e.data());
  envp.push_back(nullptr);
  Child child;
  if (posix_spawn(&child.pid, path.c_str(), &actions, nullptr, argv.data(), envp.data()) != 0) {
    std::perror(path.c_str());
    std::exit(1);
  }
  posix_spawn_file_actions_destroy(&actions);
  if (withInput) close(in[0]);
  close(out[1]);
  child.in = in[1];
  child.out = out[0];
  return child;
}

// Reads up to and including the next line feed.
std::string readLine(int fd) {
  std::string line;
  char c;
  while (read(fd, &c, 1) == 1 && c != '\n') line += c;
  return line;
}

long peakResidentKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmHWM:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  }
  return -1;
}

struct Sample {
  double toMuted;
  double releaseToUnmuted;
  long peakKiB;
};

Sample muteOnce(const std::string& world, const std::vector<std::string>& targets) {
  auto start = Clock::now();
  Child tool = spawn(VELMURO_BINARY, targets, {"VELMURO_SIM_WORLD=" + world}, true);
  if (readLine(tool.out) != R"({"status":"muted"})") std::abort();
  Sample sample{millisecondsSince(start), 0, peakResidentKiB(tool.pid)};
  auto release = Clock::now();
  if (write(tool.in, "x\n", 2) != 2) std::abort();
  if (readLine(tool.out) != R"({"status":"unmuted"})") std::abort();
  sample.releaseToUnmuted = millisecondsSince(release);
  close(tool.in);
  close(tool.out);
  waitpid(tool.pid, nullptr, 0);
  return sample;
}

// The pgrep runs the mute makes, one per target, run alone and read to the end.
double floorOnce(const std::vector<std::string>& targets) {
  auto start = Clock::now();
  for (const std::string& target : targets) {
    Child pgrep = spawn("/usr/bin/pgrep", {"-x", target}, {}, false);
    char buffer[4096];
    while (read(pgrep.out, buffer, sizeof buffer) > 0) {
    }
    close(pgrep.out);
    waitpid(pgrep.pid, nullptr, 0);
  }
  return millisecondsSince(start);
}

}  // namespace

int main(int argc, char** argv) {
  int runs = argc > 1 ? std::atoi(argv[1]) : 40;
  char dir[] = "/tmp/velmuro-bench-XXXXXX";
  if (!mkdtemp(dir)) return 1;
  std::string world = std::string(dir) + "/world.json";
  {
    std::ofstream file(world);
    file << "{\"audio\":{\"processes\":[";
    for (int i = 1; i <= 10; ++i) {
      file << (i > 1 ? "," : "") << "{\"id\":" << 100 + i << ",\"pid\":" << 900000 + i
           << ",\"bundleId\":\"com.bench.app" << i << "\",\"output\":true}";
    }
    file << "]}}";
  }

  std::printf("runs per case: %d (medians)\n", runs);
  std::printf("%-8s %14s %12s %14s %20s %12s\n", "targets", "launch->muted", "pgrep floor",
              "tool over floor", "release->unmuted", "peak RSS");
  for (int count : {1, 3, 10}) {
    std::vector<std::string> targets;
    for (int i = 1; i <= count; ++i) targets.push_back("com.bench.app" + std::to_string(i));
    std::vector<double> muted, floors, release;
    long peak = 0;
    muteOnce(world, targets);  // warm the page cache
    for (int r = 0; r < runs; ++r) {
      // Interleaved so that drift in the machine's load touches both alike.
      Sample s = muteOnce(world, targets);
      muted.push_back(s.toMuted);
      release.push_back(s.releaseToUnmuted);
      peak = std::max(peak, s.peakKiB);
      floors.push_back(floorOnce(targets));
    }
    std::printf("%-8d %11.3f ms %9.3f ms %11.3f ms %17.3f ms %8.2f MiB\n", count, median(muted),
                median(floors), median(muted) - median(floors), median(release),
                static_cast<double>(peak) / 1024.0);
  }
  std::remove(world.c_str());
  rmdir(dir);
  return 0;
}
