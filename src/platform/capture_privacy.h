#pragma once

#include <cstdint>
#include <string>

namespace velmuro::platform {

// The privacy framework, loaded at run time: dlopen, dlsym and the preflight call.
class CapturePrivacy {
 public:
  using Handle = void*;
  using EntryPoint = void*;

  virtual ~CapturePrivacy() = default;

  // dlopen(path, mode); null when the framework does not load.
  virtual Handle openFramework(const std::string& path, int mode) = 0;
  // dlsym(handle, name); null when the symbol is missing.
  virtual EntryPoint findEntryPoint(Handle framework, const std::string& name) = 0;
  // Calls the preflight entry point with the service name as a platform string and a null
  // pointer, giving its pointer-width integer result.
  virtual std::intptr_t callPreflight(EntryPoint entryPoint, const std::string& service) = 0;
};

}  // namespace velmuro::platform
