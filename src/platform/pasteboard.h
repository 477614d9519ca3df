#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace velmuro::platform {

// The plain-text pasteboard type (NSPasteboardTypeString).
inline constexpr const char* kPasteboardTypeString = "public.utf8-plain-text";

using Bytes = std::vector<std::uint8_t>;

// A handle to one item on the pasteboard; copies share one reference.
class PasteboardItem {
 public:
  PasteboardItem() = default;
  explicit PasteboardItem(std::shared_ptr<const void> reference)
      : reference_(std::move(reference)) {}

  explicit operator bool() const { return reference_ != nullptr; }
  // The backend's own object behind the handle.
  const void* get() const { return reference_.get(); }

 private:
  std::shared_ptr<const void> reference_;
};

// What one fresh NSPasteboardItem is given: setData:forType: for each pair, in order.
using NewPasteboardItem = std::vector<std::pair<std::string, Bytes>>;

// The general pasteboard, one method per call the tool makes.
class Pasteboard {
 public:
  virtual ~Pasteboard() = default;

  // pasteboardItems: the items in order (empty when there are none or no list at all).
  virtual std::vector<PasteboardItem> items() = 0;
  // NSPasteboardItem types: the item's type identifiers in order.
  virtual std::vector<std::string> types(const PasteboardItem& item) = 0;
  // NSPasteboardItem dataForType:; absent when the item gives nothing for the type.
  virtual std::optional<Bytes> dataForType(const PasteboardItem& item, const std::string& type) = 0;
  // clearContents.
  virtual void clearContents() = 0;
  // changeCount.
  virtual std::int64_t changeCount() = 0;
  // stringForType:; absent when the pasteboard holds no string of that type.
  virtual std::optional<std::string> stringForType(const std::string& type) = 0;
  // Fresh NSPasteboardItems, each given its pairs with setData:forType:, then one writeObjects:
  // with all of them in order.
  virtual void writeObjects(const std::vector<NewPasteboardItem>& items) = 0;
};

}  // namespace velmuro::platform
