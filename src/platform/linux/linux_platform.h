#pragma once

#include <memory>

#include "platform/platform.h"

namespace velmuro::linux_desktop {

// The real Linux services: the sound server through libpulse, a capture permission that is
// always granted, accessibility over AT-SPI2, running applications by desktop-entry ID, no
// pasteboard service yet, the system clock and posix_spawn child processes.
std::unique_ptr<platform::PlatformBackend> openLinuxPlatform();

}  // namespace velmuro::linux_desktop
