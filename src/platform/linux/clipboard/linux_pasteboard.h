#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/pasteboard.h"

namespace velmuro::linux_desktop {

class X11Connection;

// The bounds on the clipboard's use in one run.
struct ClipboardLimits {
  // Each wait for the owner: its answer to a conversion, and each next chunk of a transfer.
  std::chrono::milliseconds answer{500};
  // Every conversion of one saved item, counted from pasteboardItems; also one string read.
  std::chrono::milliseconds save{2000};
  // The data of one saved item, all its types together; also one string read.
  std::size_t bytes = std::size_t{64} << 20;
};

// The general pasteboard as the X11 CLIPBOARD selection, reached through libX11 and libXfixes
// loaded at run time and connected on the first call:
// - one item while the selection has an owner; its types are the targets the owner offers, less
//   the protocol's own, and each type's data the owner's answer to that target;
// - the change count: every change of the selection's owner since the first call, the tool's own
//   included;
// - clear: no owner; the plain-text string: the selection as UTF8_STRING, else as STRING;
// - write: a process of its own, forked here, takes the selection and serves the bytes until
//   another client takes it, long after the tool has gone.
// Without libraries or a reachable display the calls fail as the platform's do: no items, no
// data, no string, a count that never moves, clears and writes that do nothing.
class LinuxPasteboard final : public platform::Pasteboard {
 public:
  explicit LinuxPasteboard(ClipboardLimits limits = {});
  ~LinuxPasteboard() override;
  LinuxPasteboard(const LinuxPasteboard&) = delete;
  LinuxPasteboard& operator=(const LinuxPasteboard&) = delete;

  // One item while the selection has an owner, none without.
  std::vector<platform::PasteboardItem> items() override;
  // The targets the owner offers, in its order and each once, less TARGETS, TIMESTAMP,
  // MULTIPLE, SAVE_TARGETS, DELETE and INSERT_*; empty once the owner has changed since items.
  std::vector<std::string> types(const platform::PasteboardItem& item) override;
  // The owner's bytes for the target; absent when it refuses, is not done within the bounds,
  // the item's data would pass the byte limit, or the owner has changed since items.
  std::optional<platform::Bytes> dataForType(const platform::PasteboardItem& item,
                                             const std::string& type) override;
  // Leaves the selection without an owner (a change, counted like any other).
  void clearContents() override;
  // The owner changes since the first call; every change made before this call is counted.
  std::int64_t changeCount() override;
  // For the plain-text type: the selection as UTF8_STRING, or else as STRING (Latin-1), made
  // valid UTF-8; absent for any other type and when the owner gives neither.
  std::optional<std::string> stringForType(const std::string& type) override;
  // Serves every type of the items (the first of each name; X11 has one item) from a process of
  // its own, each answered with the property type and format its owner gave it when it was
  // saved; returns once that process owns the selection and the count has seen it.
  void writeObjects(const std::vector<platform::NewPasteboardItem>& items) override;

 private:
  // The connection, opened on the first call; null when the clipboard cannot be reached.
  X11Connection* connection();

  ClipboardLimits limits_;
  std::unique_ptr<X11Connection> connection_;
  bool opened_ = false;
  // Each saved type's property type (an atom) and format, as its owner answered.
  std::map<std::string, std::pair<unsigned long, int>> forms_;
};

}  // namespace velmuro::linux_desktop
