#include "platform/macos/macos_capture_privacy.h"

#include <CoreFoundation/CoreFoundation.h>
#include <dlfcn.h>

#include "platform/macos/cf_text.h"

namespace velmuro::macos {

platform::CapturePrivacy::Handle MacCapturePrivacy::openFramework(const std::string& path,
                                                                  int mode) {
  // The handle is never closed: the framework stays loaded for the rest of the run.
  return dlopen(path.c_str(), mode);
}

platform::CapturePrivacy::EntryPoint MacCapturePrivacy::findEntryPoint(Handle framework,
                                                                       const std::string& name) {
  return dlsym(framework, name.c_str());
}

std::intptr_t MacCapturePrivacy::callPreflight(EntryPoint entryPoint, const std::string& service) {
  // The framework is private and has no header: the entry point is called as a C function of a
  // CFString and a pointer (passed null) that gives a pointer-width integer.
  using Preflight = std::intptr_t (*)(CFStringRef service, const void* options);
  const auto preflight = reinterpret_cast<Preflight>(entryPoint);
  CFStringRef name = createCFString(service);
  const std::intptr_t result = preflight(name, nullptr);
  if (name != nullptr) CFRelease(name);
  return result;
}

}  // namespace velmuro::macos
