#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/pasteboard.h"

namespace velmuro::macos {

// AppKit's general pasteboard (NSPasteboard generalPasteboard), asked afresh on every call. Item
// handles retain their NSPasteboardItem and release it when the last copy goes.
class MacPasteboard final : public platform::Pasteboard {
 public:
  // pasteboardItems.
  std::vector<platform::PasteboardItem> items() override;
  // NSPasteboardItem types.
  std::vector<std::string> types(const platform::PasteboardItem& item) override;
  // NSPasteboardItem dataForType:.
  std::optional<platform::Bytes> dataForType(const platform::PasteboardItem& item,
                                             const std::string& type) override;
  // clearContents.
  void clearContents() override;
  // changeCount.
  std::int64_t changeCount() override;
  // stringForType:.
  std::optional<std::string> stringForType(const std::string& type) override;
  // A fresh NSPasteboardItem per entry given its pairs with setData:forType:, then writeObjects:.
  void writeObjects(const std::vector<platform::NewPasteboardItem>& items) override;
};

}  // namespace velmuro::macos
