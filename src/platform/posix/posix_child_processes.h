#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/child_processes.h"

namespace velmuro::posix {

// Runs system commands with posix_spawn, collecting standard output through a pipe.
class PosixChildProcesses : public platform::ChildProcesses {
 public:
  PosixChildProcesses() = default;
  // Also calls whileRunning each time a child has started, before its output is read.
  explicit PosixChildProcesses(std::function<void()> whileRunning)
      : whileRunning_(std::move(whileRunning)) {}

  // The child's whole standard output once it has exited; absent when it could not be spawned.
  std::optional<std::string> runAndCollect(const std::string& path,
                                           const std::vector<std::string>& arguments) override;

 private:
  std::function<void()> whileRunning_;
};

}  // namespace velmuro::posix
