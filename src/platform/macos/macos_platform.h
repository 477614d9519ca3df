#pragma once

#include <memory>

#include "platform/platform.h"

namespace velmuro::macos {

// The real macOS services: Core Audio, the privacy framework, Accessibility, AppKit's running
// applications and general pasteboard, the system clock and posix_spawn child processes.
std::unique_ptr<platform::PlatformBackend> openMacPlatform();

}  // namespace velmuro::macos
