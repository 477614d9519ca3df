#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace velmuro::testing {

using Environment = std::map<std::string, std::string>;

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

// Runs a command to its end with its input closed: its standard output and its exit status
// (-1 when it did not end within the timeout).
std::pair<std::string, int> runToEnd(const std::string& path,
                                     const std::vector<std::string>& arguments,
                                     const Environment& environment,
                                     std::chrono::milliseconds timeout = std::chrono::seconds(20));

// Runs one of the project's service scripts (scripts/sound-server, scripts/desktop) with "start"
// and these arguments, giving the variables it prints as "export NAME=VALUE" lines; absent, with
// the script's complaint in *error, when it fails or does not print dirVariable.
std::optional<Environment> startScriptedService(const std::string& script,
                                                const std::vector<std::string>& arguments,
                                                const std::string& dirVariable, std::string* error);
// Runs the script with "stop" and the directory it printed.
void stopScriptedService(const std::string& script, const std::string& dir);

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

// The PIDs of a process's children, from /proc.
std::vector<pid_t> childrenOf(pid_t parent);
// True while a process exists and is no zombie.
bool isAlive(pid_t pid);

// True under CI=true, where a test whose environment can't be set up fails instead of skipping.
bool inCI();

// Merges environments, the later winning.
Environment withVariables(Environment base, const Environment& more);

}  // namespace velmuro::testing
