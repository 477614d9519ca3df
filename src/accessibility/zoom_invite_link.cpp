#include "accessibility/zoom_invite_link.h"

#include <optional>
#include <string_view>
#include <utility>

#include "accessibility/element_access.h"
#include "accessibility/lower_case.h"
#include "text/utf8.h"

namespace velmuro::accessibility {

namespace {

// What the pasteboard held before the press: each item's types in order, each with the bytes it
// gave, and whether any item listed a type at all.
struct PasteboardSnapshot {
  std::vector<platform::NewPasteboardItem> items;
  bool listedTypes = false;

  // Types were listed but none gave data, as when the system refuses this process's reads:
  // nothing could be saved, so clearing would wipe what no restore can bring back.
  bool unreadable() const {
    for (const platform::NewPasteboardItem& item : items) {
      if (!item.empty()) return false;
    }
    return listedTypes;
  }
};

PasteboardSnapshot savePasteboard(platform::Pasteboard& pasteboard) {
  PasteboardSnapshot snapshot;
  for (const platform::PasteboardItem& item : pasteboard.items()) {
    platform::NewPasteboardItem saved;
    for (const std::string& type : pasteboard.types(item)) {
      snapshot.listedTypes = true;
      // A type that gives no data can't be saved; it is missing after the restore.
      if (std::optional<platform::Bytes> data = pasteboard.dataForType(item, type)) {
        saved.emplace_back(type, std::move(*data));
      }
    }
    snapshot.items.push_back(std::move(saved));
  }
  return snapshot;
}

void restorePasteboard(platform::Pasteboard& pasteboard, const PasteboardSnapshot& snapshot) {
  pasteboard.clearContents();
  if (!snapshot.items.empty()) pasteboard.writeObjects(snapshot.items);
}

bool containsZoomMarker(std::string_view text) {
  constexpr std::string_view kMarker = "zoom";
  for (std::size_t start = 0; start + kMarker.size() <= text.size(); ++start) {
    bool match = true;
    for (std::size_t i = 0; i < kMarker.size() && match; ++i) {
      char c = text[start + i];
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
      match = c == kMarker[i];
    }
    if (match) return true;
  }
  return false;
}

// The pasteboard's plain text, made valid UTF-8, when it contains the link marker.
std::optional<std::string> readLink(platform::Pasteboard& pasteboard) {
  std::optional<std::string> string = pasteboard.stringForType(platform::kPasteboardTypeString);
  if (!string) return std::nullopt;
  std::string valid = text::toValidUTF8(*string);
  if (!containsZoomMarker(valid)) return std::nullopt;
  return valid;
}

bool titleMatchesNeedle(const std::string& title, const std::vector<std::string>& needles) {
  std::string lowered = lowerCased(title);
  for (const std::string& needle : needles) {
    if (!needle.empty() && lowered.find(needle) != std::string::npos) return true;
  }
  return false;
}

}  // namespace

platform::AXElement findInviteLinkItem(platform::AccessibilityApi& ax,
                                       const platform::AXElement& application,
                                       const std::vector<std::string>& needles) {
  platform::AXElement menuBar = axElementValue(ax, application, kAXMenuBar);
  platform::AXElement fallback;
  for (const platform::AXElement& barItem : axChildren(ax, menuBar)) {
    std::optional<std::string> menuTitle = axString(ax, barItem, kAXTitle);
    std::vector<platform::AXElement> menus = axChildren(ax, barItem);
    platform::AXElement menu = menus.empty() ? platform::AXElement() : menus.front();
    for (const platform::AXElement& item : axChildren(ax, menu)) {
      std::string title = axString(ax, item, kAXTitle).value_or("");
      if (menuTitle == kZoomMeetingMenu && title == kZoomCopyInviteLinkItem) return item;
      if (!fallback && titleMatchesNeedle(title, needles)) fallback = item;
    }
  }
  return fallback;
}

output::JSONMessage copyZoomInviteLink(const platform::Platform& platform,
                                       const std::vector<std::string>& needles) {
  platform::Clock& clock = platform.clock;
  platform::Pasteboard& pasteboard = platform.pasteboard;
  const platform::WallTime start = clock.now();
  if (!platform.accessibility.isProcessTrusted()) return output::statusMessage("untrusted");
  platform::AXElement application = axApplication(platform, kZoomBundleId);
  if (!application) return output::statusMessage("not-running");
  platform::AXElement item = findInviteLinkItem(platform.accessibility, application, needles);
  if (!item) return output::statusMessage("not-found");
  if (clock.now() - start >= kZoomSearchBudget) return output::statusMessage("slow");

  const PasteboardSnapshot snapshot = savePasteboard(pasteboard);
  // A pasteboard whose data could not be read at all is never cleared or restored; the baseline is
  // then its count before the press.
  const bool leaveAlone = snapshot.unreadable();
  // Otherwise the baseline is read after the clear, so it already counts the tool's own clear.
  if (!leaveAlone) pasteboard.clearContents();
  const std::int64_t baseline = pasteboard.changeCount();
  platform.accessibility.performAction(item, kAXPress);

  const platform::WallTime deadline = clock.now() + kZoomCopyWait;
  while (clock.now() < deadline && pasteboard.changeCount() == baseline) {
    clock.sleepMicroseconds(kZoomPollMicroseconds);
  }

  // Uncleared, the pasteboard still holds the user's data until someone writes: only a string
  // written after the press counts, as it would after a clear.
  std::optional<std::string> link;
  if (!leaveAlone || pasteboard.changeCount() != baseline) link = readLink(pasteboard);
  // Something else was written and it is not the link: it stays.
  if (pasteboard.changeCount() != baseline && !link) return output::statusMessage("no-text");
  // More than one write after the clear: someone besides Zoom wrote too, and that stays.
  if (!leaveAlone && pasteboard.changeCount() - baseline <= 1) {
    restorePasteboard(pasteboard, snapshot);
  }
  if (!link) return output::statusMessage("no-text");
  output::JSONMessage message = output::statusMessage("ok");
  message.text = std::move(link);
  return message;
}

}  // namespace velmuro::accessibility
