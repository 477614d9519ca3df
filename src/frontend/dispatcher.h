#pragma once

#include <sys/types.h>

#include <cstdio>
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

// Installs the SIGTERM and SIGINT handlers, which end the process at once with status 0.
void setupSignalHandler();

// Reads the host's input until a non-empty line or its end, deciding on each line as soon as its
// first character shows whether it is empty.
void waitForRelease(std::FILE* input);

// Runs the command that arguments (entry 0 is the tool's own path) name, printing its lines, and
// gives the exit status. A mute holds until input gives a non-empty line or ends.
int dispatch(const std::vector<std::string>& arguments, const platform::Platform& platform,
             std::FILE* input);

}  // namespace velmuro::frontend
