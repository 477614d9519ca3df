#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace velmuro::frontend {

inline constexpr const char* kUsageError = "Usage: Velmuro <process-name-or-bundle-id>... [pid]";

// The mute targets with the explicit PID taken off their end.
struct MuteTargets {
  std::vector<std::string> targets;
  std::optional<pid_t> explicitPID;
};

// Takes a trailing PID off a list of two or more targets; a single target always stays.
MuteTargets splitExplicitPID(std::vector<std::string> targets);

// Prints the usage error and gives the exit status 1.
int reportUsage();

// Installs the SIGTERM and SIGINT handlers, which end the process at once with status 0, unblocks
// both, and ignores SIGPIPE, so that a write to a host that has gone away just fails.
void setupSignalHandler();

// Reads the host's input descriptor until a non-empty line, its end or a read error, deciding on
// each line as soon as its first character shows whether it is empty. A non-blocking input is
// waited on; an interrupted read is made again.
void waitForRelease(int input);

// Runs the command that arguments (entry 0 is the tool's own path) name, printing its lines, and
// gives the exit status. A mute holds until the input descriptor gives a non-empty line or ends.
int dispatch(const std::vector<std::string>& arguments, const platform::Platform& platform,
             int input);

}  // namespace velmuro::frontend
