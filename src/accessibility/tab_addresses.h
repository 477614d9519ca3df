#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "output/json_message.h"
#include "platform/accessibility_api.h"
#include "platform/platform.h"

namespace velmuro::accessibility {

// The visits one window's walk may spend (the last unit is never used for a visit).
inline constexpr std::int64_t kTabVisitBudget = 3000;
// The deepest level the walk examines; the window is level 0.
inline constexpr int kTabMaxDepth = 19;

// "untrusted", "not-running", or "ok" with every address the browser's windows show, in the
// order found: each window's document address, then what its walk collects.
output::JSONMessage readTabAddresses(const platform::Platform& platform,
                                       const std::string& bundleId);

// One visit of a window's walk: appends a web area's address (without entering it) and the text
// of text fields and combo boxes that holds no space, then visits the children. Every visit
// costs one unit of the shared budget, also one that stops at once.
void collectAddresses(platform::AccessibilityApi& ax, const platform::AXElement& element, int depth,
                      std::int64_t& budget, std::vector<std::string>& into);

}  // namespace velmuro::accessibility
