#pragma once

#include <string>

#include "platform/accessibility_api.h"

namespace velmuro::macos {

// The Accessibility API (ApplicationServices): each method is the one AX call it names. Element
// handles hold one reference to their AXUIElement and release it when the last copy goes.
class MacAccessibility final : public platform::AccessibilityApi {
 public:
  // AXIsProcessTrusted.
  bool isProcessTrusted() override;
  // AXUIElementCreateApplication.
  platform::AXElement createApplication(pid_t pid) override;
  // AXUIElementCreateSystemWide.
  platform::AXElement createSystemWide() override;
  // AXUIElementSetMessagingTimeout.
  platform::AXError setMessagingTimeout(const platform::AXElement& element, float seconds) override;
  // AXUIElementCopyAttributeValue, the copied CF value turned into the seam's typed value.
  platform::AXError copyAttributeValue(const platform::AXElement& element,
                                       const std::string& attribute,
                                       platform::AXValue& outValue) override;
  // AXUIElementSetAttributeValue with kCFBooleanTrue or kCFBooleanFalse.
  platform::AXError setAttributeValue(const platform::AXElement& element,
                                      const std::string& attribute, bool value) override;
  // AXUIElementPerformAction.
  platform::AXError performAction(const platform::AXElement& element,
                                  const std::string& action) override;
};

}  // namespace velmuro::macos
