#include "platform/linux/accessibility/menu_bar.h"

#include <atspi/atspi-constants.h>

#include <cstddef>
#include <utility>
#include <vector>

#include "platform/linux/accessibility/tree_wake.h"

namespace velmuro::linux_desktop {

namespace {

// How far below a frame a menu bar is looked for, and how many objects of one frame are looked
// at: a menu bar sits near the top of its window, so the search never walks a window's content.
constexpr int kMenuBarDepth = 3;
constexpr std::size_t kObjectsPerFrame = 64;

// The first menu bar below the frame, level by level.
std::optional<ObjectReference> menuBarBelow(ApplicationLink& link, const ObjectReference& frame) {
  std::vector<ObjectReference> level{frame};
  std::size_t budget = kObjectsPerFrame;
  for (int depth = 1; depth <= kMenuBarDepth && !level.empty(); ++depth) {
    std::vector<ObjectReference> below;
    for (const ObjectReference& object : level) {
      if (below.size() >= budget) break;
      std::vector<ObjectReference> children = childrenOf(link, object);
      below.insert(below.end(), children.begin(), children.end());
    }
    if (below.size() > budget) below.resize(budget);
    budget -= below.size();
    std::vector<std::uint32_t> roles = rolesOf(link, below);
    for (std::size_t i = 0; i < below.size(); ++i) {
      if (roles[i] == ATSPI_ROLE_MENU_BAR) return std::move(below[i]);
    }
    level = std::move(below);
  }
  return std::nullopt;
}

}  // namespace

std::optional<ObjectReference> findMenuBar(ApplicationLink& link) {
  for (const ObjectReference& frame : applicationFrames(link)) {
    if (std::optional<ObjectReference> bar = menuBarBelow(link, frame)) return bar;
  }
  return std::nullopt;
}

}  // namespace velmuro::linux_desktop
