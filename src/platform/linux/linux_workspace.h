#pragma once

#include <string>
#include <vector>

#include "platform/workspace.h"

namespace velmuro::linux_desktop {

// The running applications by desktop-entry ID (application_identity.h): this user's processes
// that are the named application, oldest first.
class LinuxWorkspace final : public platform::Workspace {
 public:
  // The processes that are the named application, oldest first.
  std::vector<pid_t> runningApplications(const std::string& bundleId) override;
};

}  // namespace velmuro::linux_desktop
