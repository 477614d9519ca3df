#include "platform/linux/linux_workspace.h"

namespace velmuro::linux_desktop {

std::vector<pid_t> LinuxWorkspace::runningApplications(const std::string&) { return {}; }

}  // namespace velmuro::linux_desktop
