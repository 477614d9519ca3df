#pragma once

#include <optional>

#include "platform/linux/accessibility/application_link.h"

namespace velmuro::linux_desktop {

// The application's menu bar: the first object of role menu bar found within the first levels
// of its frames, frame by frame (GTK puts it at frame > filler > menu bar); absent when there is
// none.
std::optional<ObjectReference> findMenuBar(ApplicationLink& link);

}  // namespace velmuro::linux_desktop
