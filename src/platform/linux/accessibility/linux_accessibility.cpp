#include "platform/linux/accessibility/linux_accessibility.h"

#include "platform/linux/accessibility/accessibility_bus.h"
#include "platform/linux/accessibility/accessible_node.h"
#include "platform/linux/accessibility/application_link.h"
#include "platform/linux/accessibility/attribute_reads.h"
#include "platform/linux/accessibility/dbus_library.h"
#include "platform/linux/accessibility/tree_wake.h"

namespace velmuro::linux_desktop {

namespace {

constexpr std::chrono::milliseconds kDefaultTimeout{1000};
// How long a woken tree is waited for. Chromium's documents follow the wake within 0-45 ms on a
// quiet machine; a window that another one covers completely keeps its document empty, so this
// bound is what the first read of such a browser costs.
constexpr std::chrono::milliseconds kWakePatience{500};

}  // namespace

bool LinuxAccessibility::connect() {
  if (!connectTried_) {
    connectTried_ = true;
    if (const DBusLibrary* dbus = loadDBusLibrary()) {
      bus_ = connectAccessibilityBus(*dbus, timeout_);
    }
  }
  return bus_ != nullptr;
}

bool LinuxAccessibility::isProcessTrusted() { return connect(); }

platform::AXElement LinuxAccessibility::createApplication(pid_t pid) {
  if (!connect()) return makeElement(std::make_shared<ApplicationLink>(), {});
  std::shared_ptr<ApplicationLink> link = linkApplication(bus_, pid, timeout_);
  if (link->serves()) wakeTree(*link, kWakePatience);
  ObjectReference root = link->root();
  return makeElement(std::move(link), std::move(root));
}

platform::AXElement LinuxAccessibility::createSystemWide() { return makeElement(nullptr, {}); }

platform::AXError LinuxAccessibility::setMessagingTimeout(const platform::AXElement& element,
                                                          float seconds) {
  if (!element || !(seconds >= 0)) return platform::kAXErrorIllegalArgument;
  const std::chrono::milliseconds timeout =
      seconds == 0 ? kDefaultTimeout
                   : std::chrono::round<std::chrono::milliseconds>(
                         std::chrono::duration<double>(static_cast<double>(seconds)));
  const AccessibleNode& node = nodeOf(element);
  if (node.link) {
    node.link->setTimeout(timeout);
    return platform::kAXErrorSuccess;
  }
  timeout_ = timeout;
  if (bus_) bus_->setTimeout(timeout);
  return platform::kAXErrorSuccess;
}

platform::AXError LinuxAccessibility::copyAttributeValue(const platform::AXElement& element,
                                                         const std::string& attribute,
                                                         platform::AXValue& outValue) {
  if (!element) return platform::kAXErrorIllegalArgument;
  return readAttribute(nodeOf(element), attribute, outValue);
}

platform::AXError LinuxAccessibility::setAttributeValue(const platform::AXElement& element,
                                                        const std::string&, bool) {
  if (!element) return platform::kAXErrorIllegalArgument;
  return platform::kAXErrorAttributeUnsupported;
}

platform::AXError LinuxAccessibility::performAction(const platform::AXElement& element,
                                                    const std::string& action) {
  if (!element) return platform::kAXErrorIllegalArgument;
  return performNamedAction(nodeOf(element), action);
}

LinuxAccessibility::Traffic LinuxAccessibility::trafficOf(const platform::AXElement& element) {
  if (!element || !nodeOf(element).link) return {};
  const ApplicationLink& link = *nodeOf(element).link;
  return {link.requestsSent(), link.roundTrips()};
}

}  // namespace velmuro::linux_desktop
