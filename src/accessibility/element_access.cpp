#include "accessibility/element_access.h"

#include <type_traits>
#include <utility>
#include <variant>

#include "text/utf8.h"

namespace velmuro::accessibility {

namespace {

std::string validUTF8(std::string text) {
  if (text::isValidUTF8(text)) return text;
  return text::toValidUTF8(text);
}

}  // namespace

platform::AXValue axValue(platform::AccessibilityApi& ax, const platform::AXElement& element,
                          const std::string& attribute) {
  if (!element) return std::monostate{};
  platform::AXValue value;
  if (ax.copyAttributeValue(element, attribute, value) != platform::kAXErrorSuccess) {
    return std::monostate{};
  }
  return value;
}

std::optional<std::string> axString(platform::AccessibilityApi& ax,
                                    const platform::AXElement& element,
                                    const std::string& attribute) {
  platform::AXValue value = axValue(ax, element, attribute);
  if (auto* address = std::get_if<platform::AXURL>(&value)) {
    return validUTF8(std::move(address->absoluteString));
  }
  if (auto* string = std::get_if<platform::AXText>(&value))
    return validUTF8(std::move(string->text));
  return std::nullopt;
}

std::vector<platform::AXElement> axChildren(platform::AccessibilityApi& ax,
                                            const platform::AXElement& element) {
  if (!element) return {};
  return axElementList(ax, element, kAXChildren);
}

platform::AXElement axElementValue(platform::AccessibilityApi& ax,
                                   const platform::AXElement& element,
                                   const std::string& attribute) {
  platform::AXValue value = axValue(ax, element, attribute);
  if (auto* found = std::get_if<platform::AXElement>(&value)) return std::move(*found);
  return {};
}

std::vector<platform::AXElement> axElementList(platform::AccessibilityApi& ax,
                                               const platform::AXElement& element,
                                               const std::string& attribute) {
  platform::AXValue value = axValue(ax, element, attribute);
  if (auto* list = std::get_if<std::vector<platform::AXElement>>(&value)) return std::move(*list);
  return {};
}

bool axBoolean(platform::AccessibilityApi& ax, const platform::AXElement& element,
               const std::string& attribute) {
  platform::AXValue value = axValue(ax, element, attribute);
  const bool* flag = std::get_if<bool>(&value);
  return flag && *flag;
}

platform::AXElement axApplication(const platform::Platform& platform, const std::string& bundleId) {
  std::vector<pid_t> running = platform.workspace.runningApplications(bundleId);
  if (running.empty()) return {};
  {
    // A timeout set on the system-wide element holds for every element this process asks.
    platform::AXElement systemWide = platform.accessibility.createSystemWide();
    platform.accessibility.setMessagingTimeout(systemWide, kMessagingTimeoutSeconds);
  }
  return platform.accessibility.createApplication(running.front());
}

}  // namespace velmuro::accessibility
