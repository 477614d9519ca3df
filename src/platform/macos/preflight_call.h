#pragma once

#include <cstdint>

namespace velmuro::macos {

// Calls the privacy framework's preflight entry point found by dlsym, typed as the framework
// declares it: a C function of the service name and an options dictionary (passed null) that
// returns a C enum, 32 bits wide whatever the pointer width. Only those 32 bits are read (the rest
// of the result register holds whatever the callee left there), then widened with their sign.
template <typename ServiceName>
std::intptr_t callPreflightEntryPoint(void* entryPoint, ServiceName service) {
  using Preflight = int (*)(ServiceName service, const void* options);
  return reinterpret_cast<Preflight>(entryPoint)(service, nullptr);
}

}  // namespace velmuro::macos
