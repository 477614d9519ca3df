#include "accessibility/zoom_invite_link.h"

#include <optional>
#include <string_view>
#include <utility>

#include "accessibility/element_access.h"
#include "accessibility/lower_case.h"
#include "text/utf8.h"

namespace velmuro::accessibility {

namespace {

// Each saved item: its types in order, each with the bytes it gave.
using PasteboardSnapshot = std::vector<platform::NewPasteboardItem>;

PasteboardSnapshot savePasteboard(platform::Pasteboard& pasteboard) {
  PasteboardSnapshot snapshot;
  for (const platform::PasteboardItem& item : pasteboard.items()) {
    platform::NewPasteboardItem saved;
    for (const std::string& type : pasteboard.types(item)) {
      // A type that gives no data can't be saved; it is missing after the restore.
      if (std::optional<platform::Bytes> data = pasteboard.dataForType(item, type)) {
        saved.emplace_back(type, std::move(*data));
      }
    }
    snapshot.push_back(std::move(saved));
  }
  return snapshot;
}

void restorePasteboard(platform::Pasteboard& pasteboard, const PasteboardSnapshot& snapshot) {
  pasteboard.clearContents();
  if (!snapshot.empty()) pasteboard.writeObjects(snapshot);
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

  PasteboardSnapshot snapshot = savePasteboard(pasteboard);
  // The baseline is read after the clear, so it already counts the tool's own clear.
  pasteboard.clearContents();
  const std::int64_t baseline = pasteboard.changeCount();
  platform.accessibility.performAction(item, kAXPress);

  const platform::WallTime deadline = clock.now() + kZoomCopyWait;
  while (clock.now() < deadline && pasteboard.changeCount() == baseline) {
    clock.sleepMicroseconds(kZoomPollMicroseconds);
  }

  std::optional<std::string> link;
  if (std::optional<std::string> string =
          pasteboard.stringForType(platform::kPasteboardTypeString)) {
    std::string valid = text::toValidUTF8(*string);
    if (containsZoomMarker(valid)) link = std::move(valid);
  }
  // Something else was written and it is not the link: it stays.
  if (pasteboard.changeCount() != baseline && !link) return output::statusMessage("no-text");
  // More than one write after the clear: someone besides Zoom wrote too, and that stays.
  if (pasteboard.changeCount() - baseline <= 1) restorePasteboard(pasteboard, snapshot);
  if (!link) return output::statusMessage("no-text");
  output::JSONMessage message = output::statusMessage("ok");
  message.text = std::move(link);
  return message;
}

}  // namespace velmuro::accessibility
