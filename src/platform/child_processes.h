#pragma once

#include <optional>
#include <string>
#include <vector>

namespace velmuro::platform {

// Runs system commands as child processes.
class ChildProcesses {
 public:
  virtual ~ChildProcesses() = default;

  // Runs the executable at an absolute path with these arguments (the executable's own name is
  // not among them), standard error to the null device and standard input inherited, waits for
  // it to exit and gives everything it wrote to standard output; absent when it can't be started.
  virtual std::optional<std::string> runAndCollect(const std::string& path,
                                                   const std::vector<std::string>& arguments) = 0;
};

}  // namespace velmuro::platform
