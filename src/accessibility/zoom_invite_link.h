#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "output/json_message.h"
#include "platform/accessibility_api.h"
#include "platform/platform.h"

namespace velmuro::accessibility {

// Zoom's bundle identifier.
inline const std::string kZoomBundleId = "us.zoom.xos";
// The menu and the item that copy the invite link.
inline const std::string kZoomMeetingMenu = "Meeting";
inline const std::string kZoomCopyInviteLinkItem = "Copy Invite Link";
// From the start of the command to the end of the menu search; later, nothing is pressed.
inline constexpr std::chrono::milliseconds kZoomSearchBudget{1500};
// How long the pasteboard may take to change after the press.
inline constexpr std::chrono::milliseconds kZoomCopyWait{2000};
// The pause between two looks at the pasteboard.
inline constexpr std::uint32_t kZoomPollMicroseconds = 100000;

// Presses Zoom's "Copy Invite Link" menu item (or the first item whose lower-cased title
// contains one of the needles) and reads the link from the general pasteboard, which it saves
// beforehand and restores afterwards unless someone else wrote to it; a pasteboard that lists types
// but gives data for none of them is neither cleared nor restored. A record with status "ok" and
// the link as text, or with one of "untrusted", "not-running", "not-found", "slow", "no-text".
output::JSONMessage copyZoomInviteLink(const platform::Platform& platform,
                                       const std::vector<std::string>& needles);

// The menu item to press: the first "Copy Invite Link" of a "Meeting" menu, else the first item
// of any menu whose lower-cased title contains a needle (an empty needle matches nothing), else
// absent. Only the direct items of each menu-bar item's first child are looked at.
platform::AXElement findInviteLinkItem(platform::AccessibilityApi& ax,
                                       const platform::AXElement& application,
                                       const std::vector<std::string>& needles);

}  // namespace velmuro::accessibility
