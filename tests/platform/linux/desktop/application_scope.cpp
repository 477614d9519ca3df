#include "platform/linux/desktop/application_scope.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <thread>
#include <vector>

namespace velmuro::testing {

namespace {

// The cgroup hierarchies a scope can be made in: systemd's own (name=systemd) where cgroups v1
// are mounted, else the unified one.
const char* const kHierarchies[] = {"/sys/fs/cgroup/systemd", "/sys/fs/cgroup/unified",
                                    "/sys/fs/cgroup"};

// The ID as a part of a unit name: every dash escaped as systemd does.
std::string escapeUnitPart(const std::string& id) {
  std::string escaped;
  for (char c : id) {
    if (c == '-') {
      escaped += "\\x2d";
    } else {
      escaped.push_back(c);
    }
  }
  return escaped;
}

}  // namespace

std::optional<ApplicationScope> ApplicationScope::create(const std::string& id,
                                                         std::string* error) {
  static int counter = 0;
  std::string unit = "app-velmuro-" + escapeUnitPart(id) + "-" + std::to_string(::getpid()) + "x" +
                     std::to_string(++counter) + ".scope";
  std::string reasons;
  for (const char* hierarchy : kHierarchies) {
    struct stat status;
    std::string procs = std::string(hierarchy) + "/cgroup.procs";
    if (::stat(procs.c_str(), &status) != 0) continue;
    std::string path = std::string(hierarchy) + "/" + unit;
    if (::mkdir(path.c_str(), 0755) == 0) return ApplicationScope(path);
    reasons += " " + path + ": " + std::strerror(errno) + ";";
  }
  *error =
      "no cgroup for an application scope could be made (the tests that name an "
      "application by its scope need root):" +
      reasons;
  return std::nullopt;
}

ApplicationScope::ApplicationScope(ApplicationScope&& other) noexcept
    : path_(std::move(other.path_)) {
  other.path_.clear();
}

ApplicationScope::~ApplicationScope() {
  if (path_.empty()) return;
  killAll();
  ::rmdir(path_.c_str());
}

std::vector<int> ApplicationScope::processes() const {
  std::vector<int> pids;
  std::ifstream file(processesFile());
  for (int pid; file >> pid;) pids.push_back(pid);
  return pids;
}

void ApplicationScope::killAll() {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  for (;;) {
    std::vector<int> pids = processes();
    if (pids.empty() || std::chrono::steady_clock::now() > deadline) return;
    for (int pid : pids) ::kill(pid, SIGKILL);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

std::vector<std::string> commandInScope(const ApplicationScope& scope, const std::string& program,
                                        const std::vector<std::string>& arguments) {
  std::vector<std::string> command{"-c", "echo $$ >\"$0\" && exec \"$@\" >/dev/null",
                                   scope.processesFile(), program};
  command.insert(command.end(), arguments.begin(), arguments.end());
  return command;
}

}  // namespace velmuro::testing
