#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/child_processes.h"

namespace velmuro::posix {

// Runs system commands with posix_spawn, collecting standard output through a pipe.
class PosixChildProcesses : public platform::ChildProcesses {
 public:
  // The child's whole standard output once it has exited; absent when it could not be spawned.
  std::optional<std::string> runAndCollect(const std::string& path,
                                           const std::vector<std::string>& arguments) override;
};

}  // namespace velmuro::posix
