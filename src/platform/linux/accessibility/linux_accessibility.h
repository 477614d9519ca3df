#pragma once

#include <string>

#include "platform/accessibility_api.h"

namespace velmuro::linux_desktop {

// No accessibility service yet on Linux: the process is never trusted, so every reader answers
// "untrusted"; the other calls fail as the API does when it is disabled.
class LinuxAccessibility final : public platform::AccessibilityApi {
 public:
  // False.
  bool isProcessTrusted() override;
  // An absent element.
  platform::AXElement createApplication(pid_t pid) override;
  // An absent element.
  platform::AXElement createSystemWide() override;
  // kAXErrorAPIDisabled.
  platform::AXError setMessagingTimeout(const platform::AXElement& element, float seconds) override;
  // kAXErrorAPIDisabled.
  platform::AXError copyAttributeValue(const platform::AXElement& element,
                                       const std::string& attribute,
                                       platform::AXValue& outValue) override;
  // kAXErrorAPIDisabled.
  platform::AXError setAttributeValue(const platform::AXElement& element,
                                      const std::string& attribute, bool value) override;
  // kAXErrorAPIDisabled.
  platform::AXError performAction(const platform::AXElement& element,
                                  const std::string& action) override;
};

}  // namespace velmuro::linux_desktop
