#include "accessibility/teams_join_link.h"

#include <optional>

#include "accessibility/element_access.h"

namespace velmuro::accessibility {

namespace {

// The link of a join-link node already on display, trying both identifiers in order.
std::optional<std::string> visibleJoinLink(platform::AccessibilityApi& ax,
                                           const platform::AXElement& application) {
  for (const std::string* domId : {&kTeamsJoinLink, &kTeamsJoinLinkCompatibility}) {
    platform::AXElement node = axFindInWindows(ax, application, *domId);
    if (!node) continue;
    if (std::optional<std::string> link = axString(ax, node, kAXURL)) return link;
  }
  return std::nullopt;
}

}  // namespace

platform::AXElement axFind(platform::AccessibilityApi& ax, const platform::AXElement& element,
                           const std::string& domId, int depth, std::int64_t& budget) {
  --budget;
  if (budget < 1 || depth > kTeamsMaxDepth) return {};
  std::optional<std::string> identifier = axString(ax, element, kAXDOMIdentifier);
  if (identifier && *identifier == domId) return element;
  for (const platform::AXElement& child : axChildren(ax, element)) {
    if (platform::AXElement found = axFind(ax, child, domId, depth + 1, budget)) return found;
  }
  return {};
}

platform::AXElement axFindInWindows(platform::AccessibilityApi& ax,
                                    const platform::AXElement& application,
                                    const std::string& domId) {
  for (const platform::AXElement& window : axElementList(ax, application, kAXWindows)) {
    std::int64_t budget = kTeamsVisitBudget;
    if (platform::AXElement found = axFind(ax, window, domId, 0, budget)) return found;
  }
  return {};
}

platform::AXElement pollFind(const platform::Platform& platform,
                             const platform::AXElement& application, const std::string& domId,
                             platform::WallTime until) {
  while (true) {
    if (platform::AXElement found = axFindInWindows(platform.accessibility, application, domId)) {
      return found;
    }
    platform.clock.sleepMicroseconds(kTeamsPollMicroseconds);
    if (platform.clock.now() >= until) return {};
  }
}

bool closeInviteDialog(platform::AccessibilityApi& ax, const platform::AXElement& application) {
  platform::AXElement node = axFindInWindows(ax, application, kTeamsInviteDialogSubtitle);
  platform::AXElement dialog;
  for (int looked = 0; looked < 4; ++looked) {
    if (!node) return false;
    if (axString(ax, node, kAXSubrole) == "AXApplicationDialog") {
      dialog = node;
      break;
    }
    node = axElementValue(ax, node, kAXParent);
  }
  if (!dialog) return false;
  for (const platform::AXElement& child : axChildren(ax, dialog)) {
    if (axString(ax, child, kAXRole) == "AXButton") {
      return ax.performAction(child, kAXPress) == platform::kAXErrorSuccess;
    }
  }
  return false;
}

output::JSONMessage readTeamsJoinLink(const platform::Platform& platform) {
  platform::AccessibilityApi& ax = platform.accessibility;
  platform::Clock& clock = platform.clock;
  if (!ax.isProcessTrusted()) return output::statusMessage("untrusted");
  platform::AXElement application = axApplication(platform, kTeamsBundleId);
  if (!application) return output::statusMessage("not-running");

  const platform::WallTime deadline = clock.now() + kTeamsOverallWait;
  // Teams exposes its web content only with the enhanced interface on.
  const bool wasEnhanced = axBoolean(ax, application, kAXEnhancedUserInterface);
  ax.setAttributeValue(application, kAXEnhancedUserInterface, true);
  auto finish = [&](const char* status, std::optional<std::string> link = std::nullopt) {
    if (!wasEnhanced) ax.setAttributeValue(application, kAXEnhancedUserInterface, false);
    output::JSONMessage message = output::statusMessage(status);
    message.text = std::move(link);
    return message;
  };

  platform::AXElement overflow;
  // A successful dialog close repeats the search without a pause, but only once in a row: a
  // dialog that stays open must not turn the search into a loop of presses without pauses.
  bool pauseSkipped = false;
  while (true) {
    overflow = axFindInWindows(ax, application, kTeamsOverflowButton);
    if (overflow) break;
    bool closed = closeInviteDialog(ax, application);
    if (closed && !pauseSkipped) {
      pauseSkipped = true;
    } else {
      clock.sleepMicroseconds(kTeamsPollMicroseconds);
      pauseSkipped = false;
    }
    if (clock.now() >= deadline) return finish("not-found");
  }

  // The meeting-information pane may be open already; it is then left as it is.
  if (std::optional<std::string> link = visibleJoinLink(ax, application)) {
    return finish("ok", std::move(link));
  }
  if (clock.now() >= deadline) return finish("slow");

  ax.performAction(overflow, kAXPress);
  if (clock.now() >= deadline) {
    ax.performAction(overflow, kAXPress);
    return finish("no-menu");
  }
  platform::AXElement meetingInfo =
      pollFind(platform, application, kTeamsMeetingInfoItem, deadline);
  if (!meetingInfo) {
    ax.performAction(overflow, kAXPress);
    return finish("no-menu");
  }

  ax.performAction(meetingInfo, kAXPress);
  std::optional<std::string> link;
  if (platform::AXElement node =
          pollFind(platform, application, kTeamsJoinLink, deadline + kTeamsLinkExtraWait)) {
    link = axString(ax, node, kAXURL);
  }
  if (!link) link = visibleJoinLink(ax, application);

  if (platform::AXElement close = axFindInWindows(ax, application, kTeamsPaneCloseButton)) {
    ax.performAction(close, kAXPress);
  }
  if (link) return finish("ok", std::move(link));
  return finish("no-link");
}

}  // namespace velmuro::accessibility
