#include "platform/linux/linux_capture_privacy.h"

namespace velmuro::linux_desktop {

namespace {

// Non-null stand-ins; nothing is loaded and nothing is called through them.
char framework;
char preflight;

}  // namespace

platform::CapturePrivacy::Handle LinuxCapturePrivacy::openFramework(const std::string&, int) {
  return &framework;
}

platform::CapturePrivacy::EntryPoint LinuxCapturePrivacy::findEntryPoint(Handle,
                                                                         const std::string&) {
  return &preflight;
}

std::intptr_t LinuxCapturePrivacy::callPreflight(EntryPoint, const std::string&) { return 0; }

}  // namespace velmuro::linux_desktop
