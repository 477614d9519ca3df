#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace velmuro::platform {

// The list of running applications.
class Workspace {
 public:
  virtual ~Workspace() = default;

  // NSRunningApplication runningApplicationsWithBundleIdentifier:, as the processIdentifier of
  // each running application in the order the platform lists them.
  virtual std::vector<pid_t> runningApplications(const std::string& bundleId) = 0;
};

}  // namespace velmuro::platform
