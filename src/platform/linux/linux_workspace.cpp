#include "platform/linux/linux_workspace.h"

#include "platform/linux/application_identity.h"

namespace velmuro::linux_desktop {

std::vector<pid_t> LinuxWorkspace::runningApplications(const std::string& bundleId) {
  return processesOfApplication(bundleId);
}

}  // namespace velmuro::linux_desktop
