#pragma once

#include <chrono>
#include <vector>

#include "platform/linux/accessibility/application_link.h"

namespace velmuro::linux_desktop {

// The application's windows: its root's children of role frame, in order; empty when they can't
// be read. The roles are asked for together, in one round trip.
std::vector<ObjectReference> applicationFrames(ApplicationLink& link);

// Brings the application's tree up the way the readers expect of it. Chromium builds its tree
// only once someone reads the attributes of the application or a frame; until then its frames
// have nothing below their first level. Such a tree is woken, and once it grows, awaited (at
// most patience in all) until every web document in the showing frames is there with its
// address. A tree that does not grow within 50 ms of being asked is taken as it is.
void wakeTree(ApplicationLink& link, std::chrono::milliseconds patience);

}  // namespace velmuro::linux_desktop
