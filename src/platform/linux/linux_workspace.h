#pragma once

#include <string>
#include <vector>

#include "platform/workspace.h"

namespace velmuro::linux_desktop {

// No list of running applications by bundle identifier yet on Linux: it is always empty.
class LinuxWorkspace final : public platform::Workspace {
 public:
  // Empty.
  std::vector<pid_t> runningApplications(const std::string& bundleId) override;
};

}  // namespace velmuro::linux_desktop
