#pragma once

#include <cstdint>
#include <string>

#include "platform/capture_privacy.h"

namespace velmuro::macos {

// The privacy framework, reached at run time: dlopen, dlsym and a call of the preflight entry
// point found there.
class MacCapturePrivacy final : public platform::CapturePrivacy {
 public:
  // dlopen.
  Handle openFramework(const std::string& path, int mode) override;
  // dlsym.
  EntryPoint findEntryPoint(Handle framework, const std::string& name) override;
  // The entry point called with the service name as a CFString and a null pointer; its 32-bit
  // result widened.
  std::intptr_t callPreflight(EntryPoint entryPoint, const std::string& service) override;
};

}  // namespace velmuro::macos
