#include "tap/capture_permission.h"

#include <dlfcn.h>

namespace velmuro::tap {

namespace {

constexpr const char* kFrameworkPath = "/System/Library/PrivateFrameworks/TCC.framework/TCC";
constexpr const char* kPreflightEntryPoint = "TCCAccessPreflight";
constexpr const char* kAudioCaptureService = "kTCCServiceAudioCapture";

}  // namespace

std::string audioCapturePermissionStatus(platform::CapturePrivacy& privacy) {
  // The framework is opened afresh each time and never closed.
  platform::CapturePrivacy::Handle framework = privacy.openFramework(kFrameworkPath, RTLD_NOW);
  if (framework == nullptr) return kPermissionUnknown;
  platform::CapturePrivacy::EntryPoint preflight =
      privacy.findEntryPoint(framework, kPreflightEntryPoint);
  if (preflight == nullptr) return kPermissionUnknown;
  switch (privacy.callPreflight(preflight, kAudioCaptureService)) {
    case 0:
      return kPermissionGranted;
    case 1:
      return kPermissionDenied;
    default:
      return kPermissionUndetermined;
  }
}

}  // namespace velmuro::tap
