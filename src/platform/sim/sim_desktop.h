#pragma once

// Placeholder until the accessibility side of the simulated desktop lands: nothing runs, the
// process is not trusted and the pasteboard is empty.
#include "platform/accessibility_api.h"
#include "platform/pasteboard.h"
#include "platform/workspace.h"

namespace velmuro::sim {

struct World;

class SimAccessibility : public platform::AccessibilityApi {
 public:
  explicit SimAccessibility(World&) {}
  bool isProcessTrusted() override { return false; }
  platform::AXElement createApplication(pid_t) override { return {}; }
  platform::AXElement createSystemWide() override { return {}; }
  platform::AXError setMessagingTimeout(const platform::AXElement&, float) override {
    return platform::kAXErrorFailure;
  }
  platform::AXError copyAttributeValue(const platform::AXElement&, const std::string&,
                                       platform::AXValue&) override {
    return platform::kAXErrorFailure;
  }
  platform::AXError setAttributeValue(const platform::AXElement&, const std::string&,
                                      bool) override {
    return platform::kAXErrorFailure;
  }
  platform::AXError performAction(const platform::AXElement&, const std::string&) override {
    return platform::kAXErrorFailure;
  }
};

class SimWorkspace : public platform::Workspace {
 public:
  explicit SimWorkspace(World&) {}
  std::vector<pid_t> runningApplications(const std::string&) override { return {}; }
};

class SimPasteboard : public platform::Pasteboard {
 public:
  explicit SimPasteboard(World&) {}
  std::vector<platform::PasteboardItem> items() override { return {}; }
  std::vector<std::string> types(const platform::PasteboardItem&) override { return {}; }
  std::optional<platform::Bytes> dataForType(const platform::PasteboardItem&,
                                             const std::string&) override {
    return std::nullopt;
  }
  void clearContents() override {}
  std::int64_t changeCount() override { return 0; }
  std::optional<std::string> stringForType(const std::string&) override { return std::nullopt; }
  void writeObjects(const std::vector<platform::NewPasteboardItem>&) override {}
};

}  // namespace velmuro::sim
