#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/pasteboard.h"

namespace velmuro::linux_desktop {

// No clipboard service yet on Linux: an empty pasteboard that keeps nothing written to it.
class LinuxPasteboard final : public platform::Pasteboard {
 public:
  // Empty.
  std::vector<platform::PasteboardItem> items() override;
  // Empty.
  std::vector<std::string> types(const platform::PasteboardItem& item) override;
  // Absent.
  std::optional<platform::Bytes> dataForType(const platform::PasteboardItem& item,
                                             const std::string& type) override;
  // Does nothing.
  void clearContents() override;
  // 0, for ever.
  std::int64_t changeCount() override;
  // Absent.
  std::optional<std::string> stringForType(const std::string& type) override;
  // Does nothing.
  void writeObjects(const std::vector<platform::NewPasteboardItem>& items) override;
};

}  // namespace velmuro::linux_desktop
