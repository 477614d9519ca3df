#include "platform/linux/accessibility/linux_accessibility.h"

namespace velmuro::linux_desktop {

bool LinuxAccessibility::isProcessTrusted() { return false; }

platform::AXElement LinuxAccessibility::createApplication(pid_t) { return {}; }

platform::AXElement LinuxAccessibility::createSystemWide() { return {}; }

platform::AXError LinuxAccessibility::setMessagingTimeout(const platform::AXElement&, float) {
  return platform::kAXErrorAPIDisabled;
}

platform::AXError LinuxAccessibility::copyAttributeValue(const platform::AXElement&,
                                                         const std::string&, platform::AXValue&) {
  return platform::kAXErrorAPIDisabled;
}

platform::AXError LinuxAccessibility::setAttributeValue(const platform::AXElement&,
                                                        const std::string&, bool) {
  return platform::kAXErrorAPIDisabled;
}

platform::AXError LinuxAccessibility::performAction(const platform::AXElement&,
                                                    const std::string&) {
  return platform::kAXErrorAPIDisabled;
}

}  // namespace velmuro::linux_desktop
