#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "platform/workspace.h"

namespace velmuro::macos {

// AppKit's list of running applications.
class MacWorkspace final : public platform::Workspace {
 public:
  // NSRunningApplication runningApplicationsWithBundleIdentifier:, as processIdentifier values.
  std::vector<pid_t> runningApplications(const std::string& bundleId) override;
};

}  // namespace velmuro::macos
