#pragma once

#include <sys/types.h>

#include <string>
#include <unordered_set>
#include <vector>

#include "platform/child_processes.h"

namespace velmuro::discovery {

// The PIDs of the processes whose name is exactly this text, as `pgrep -x` prints them (the name
// passed as a pattern that matches only itself), in its order, duplicates kept; empty on any
// failure.
std::vector<pid_t> findProcessPIDs(platform::ChildProcesses& children, const std::string& name);

// The root and every process below it in the table that `ps -axo pid=,ppid=` prints; empty
// (without the root) only when ps could not be run or its output is not UTF-8.
std::unordered_set<pid_t> descendantPIDs(platform::ChildProcesses& children, pid_t root);

}  // namespace velmuro::discovery
