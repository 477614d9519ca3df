#include "platform/macos/macos_capture_privacy.h"

#include <CoreFoundation/CoreFoundation.h>
#include <dlfcn.h>

#include "platform/macos/cf_text.h"
#include "platform/macos/preflight_call.h"

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
  CFStringRef name = createCFString(service);
  const std::intptr_t result = callPreflightEntryPoint<CFStringRef>(entryPoint, name);
  if (name != nullptr) CFRelease(name);
  return result;
}

}  // namespace velmuro::macos
