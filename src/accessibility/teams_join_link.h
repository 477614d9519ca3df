#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "output/json_message.h"
#include "platform/accessibility_api.h"
#include "platform/clock.h"
#include "platform/platform.h"

namespace velmuro::accessibility {

// Teams' bundle identifier.
inline const std::string kTeamsBundleId = "com.microsoft.teams2";

// DOM identifiers of the Teams controls the reader works with.
inline const std::string kTeamsOverflowButton = "callingButtons-showMoreBtn";
inline const std::string kTeamsMeetingInfoItem = "meeting-info-button";
inline const std::string kTeamsJoinLink = "meet_invite_block.action.join_link";
inline const std::string kTeamsJoinLinkCompatibility =
    "meet_invite_block.action.join_link_compatibility";
inline const std::string kTeamsPaneCloseButton = "rail-header-close-button";
inline const std::string kTeamsInviteDialogSubtitle = "share_meeting_invite_dialog_subtitle";

// The search's visits per window (the last unit is never used for a visit).
inline constexpr std::int64_t kTeamsVisitBudget = 8000;
// The deepest level a search examines; the window is level 0.
inline constexpr int kTeamsMaxDepth = 59;
// From the start to the end of the search for the controls.
inline constexpr std::chrono::milliseconds kTeamsOverallWait{4500};
// How much longer the join link may take to show up.
inline constexpr std::chrono::milliseconds kTeamsLinkExtraWait{1000};
// The pause between two searches.
inline constexpr std::uint32_t kTeamsPollMicroseconds = 150000;

// The join link of the meeting Teams shows, in a record with status "ok" and the link as text,
// or with one of "untrusted", "not-running", "not-found", "slow", "no-menu", "no-link". The
// enhanced interface is switched on for the read and back off unless it was on before.
output::JSONMessage readTeamsJoinLink(const platform::Platform& platform);

// The first node, depth first, under element whose DOM identifier is domId; absent when none is
// found on levels up to the limit within the shared budget. Every visit costs one unit, also one
// that stops at once.
platform::AXElement axFind(platform::AccessibilityApi& ax, const platform::AXElement& element,
                           const std::string& domId, int depth, std::int64_t& budget);

// axFind over each of the application's windows in turn, each with a fresh budget.
platform::AXElement axFindInWindows(platform::AccessibilityApi& ax,
                                    const platform::AXElement& application,
                                    const std::string& domId);

// axFindInWindows, again after each pause, until it finds the node or the time is up; the first
// search is made at once and a search is never cut short.
platform::AXElement pollFind(const platform::Platform& platform,
                             const platform::AXElement& application, const std::string& domId,
                             platform::WallTime until);

// Presses the first button of the share-invite dialog when one is open; true when the press
// succeeded. The dialog is found from its subtitle and at most three levels above it.
bool closeInviteDialog(platform::AccessibilityApi& ax, const platform::AXElement& application);

}  // namespace velmuro::accessibility
