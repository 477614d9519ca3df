#pragma once

#include <string>

#include "platform/capture_privacy.h"

namespace velmuro::linux_desktop {

// A Linux desktop asks no permission to mute another application's streams: the framework is
// always there, its entry point found, and the preflight answers 0 (granted).
class LinuxCapturePrivacy final : public platform::CapturePrivacy {
 public:
  // A handle that stands for the always-present framework.
  Handle openFramework(const std::string& path, int mode) override;
  // An entry point that stands for the preflight call.
  EntryPoint findEntryPoint(Handle framework, const std::string& name) override;
  // 0: nothing to grant.
  std::intptr_t callPreflight(EntryPoint entryPoint, const std::string& service) override;
};

}  // namespace velmuro::linux_desktop
