#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/accessibility_api.h"
#include "platform/pasteboard.h"
#include "platform/workspace.h"

namespace velmuro::sim {

struct World;

// The Accessibility API over the world's desktop: trust, application elements, attribute reads
// and writes, actions, each logged and each costing its application's latency on the clock.
class SimAccessibility : public platform::AccessibilityApi {
 public:
  explicit SimAccessibility(World& world);

  bool isProcessTrusted() override;
  platform::AXElement createApplication(pid_t pid) override;
  platform::AXElement createSystemWide() override;
  platform::AXError setMessagingTimeout(const platform::AXElement& element, float seconds) override;
  platform::AXError copyAttributeValue(const platform::AXElement& element,
                                       const std::string& attribute,
                                       platform::AXValue& outValue) override;
  platform::AXError setAttributeValue(const platform::AXElement& element,
                                      const std::string& attribute, bool value) override;
  platform::AXError performAction(const platform::AXElement& element,
                                  const std::string& action) override;

 private:
  World& world_;
};

// The running applications of the world, in the order the world lists them.
class SimWorkspace : public platform::Workspace {
 public:
  explicit SimWorkspace(World& world);

  std::vector<pid_t> runningApplications(const std::string& bundleId) override;

 private:
  World& world_;
};

// The world's general pasteboard; every call is logged and sees the effects due by then.
class SimPasteboard : public platform::Pasteboard {
 public:
  explicit SimPasteboard(World& world);

  std::vector<platform::PasteboardItem> items() override;
  std::vector<std::string> types(const platform::PasteboardItem& item) override;
  std::optional<platform::Bytes> dataForType(const platform::PasteboardItem& item,
                                             const std::string& type) override;
  void clearContents() override;
  std::int64_t changeCount() override;
  std::optional<std::string> stringForType(const std::string& type) override;
  void writeObjects(const std::vector<platform::NewPasteboardItem>& items) override;

 private:
  World& world_;
};

}  // namespace velmuro::sim
