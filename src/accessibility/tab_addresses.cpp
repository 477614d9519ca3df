#include "accessibility/tab_addresses.h"

#include <optional>

#include "accessibility/element_access.h"

namespace velmuro::accessibility {

void collectAddresses(platform::AccessibilityApi& ax, const platform::AXElement& element, int depth,
                      std::int64_t& budget, std::vector<std::string>& into) {
  --budget;
  if (budget < 1 || depth > kTabMaxDepth) return;
  if (std::optional<std::string> role = axString(ax, element, kAXRole)) {
    if (*role == "AXWebArea") {
      if (std::optional<std::string> address = axString(ax, element, kAXURL)) {
        into.push_back(std::move(*address));
      }
      return;
    }
    if (*role == "AXTextField" || *role == "AXComboBox") {
      std::optional<std::string> value = axString(ax, element, kAXValue);
      // A value with a space is a search phrase, not an address.
      if (value && value->find(' ') == std::string::npos) into.push_back(std::move(*value));
    }
  }
  for (const platform::AXElement& child : axChildren(ax, element)) {
    collectAddresses(ax, child, depth + 1, budget, into);
  }
}

output::JSONMessage readTabAddresses(const platform::Platform& platform,
                                     const std::string& bundleId) {
  platform::AccessibilityApi& ax = platform.accessibility;
  if (!ax.isProcessTrusted()) return output::statusMessage("untrusted");
  platform::AXElement application = axApplication(platform, bundleId);
  if (!application) return output::statusMessage("not-running");

  std::vector<std::string> addresses;
  for (const platform::AXElement& window : axElementList(ax, application, kAXWindows)) {
    if (std::optional<std::string> document = axString(ax, window, kAXDocument)) {
      addresses.push_back(std::move(*document));
    }
    std::int64_t budget = kTabVisitBudget;
    collectAddresses(ax, window, 0, budget, addresses);
  }
  output::JSONMessage message = output::statusMessage("ok");
  message.addresses = std::move(addresses);
  return message;
}

}  // namespace velmuro::accessibility
