#pragma once

#include <optional>
#include <string>
#include <vector>

namespace velmuro::testing {

// A cgroup named as a desktop shell names the scope it starts an application in,
// app-velmuro-ID-N.scope with the ID's dashes escaped, so that the processes started in it run as
// that desktop-entry ID. Only root can make one; the cgroup goes when the object does (once the
// processes in it have ended).
class ApplicationScope {
 public:
  // Makes the scope for the ID; absent, with the reason in *error, when no cgroup can be made.
  static std::optional<ApplicationScope> create(const std::string& id, std::string* error);
  ApplicationScope(ApplicationScope&& other) noexcept;
  ApplicationScope& operator=(ApplicationScope&&) = delete;
  ~ApplicationScope();

  // The file a process writes its PID to to enter the scope.
  std::string processesFile() const { return path_ + "/cgroup.procs"; }
  // The processes in the scope now.
  std::vector<int> processes() const;
  // Sends every process in the scope SIGKILL and waits (at most 5 s) until none is left.
  void killAll();

 private:
  explicit ApplicationScope(std::string path) : path_(std::move(path)) {}
  std::string path_;
};

// The arguments of a /bin/sh that puts itself in the scope and execs the program, its standard
// output discarded.
std::vector<std::string> commandInScope(const ApplicationScope& scope, const std::string& program,
                                        const std::vector<std::string>& arguments);

}  // namespace velmuro::testing
