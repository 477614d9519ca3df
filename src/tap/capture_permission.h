#pragma once

#include <string>

#include "platform/capture_privacy.h"

namespace velmuro::tap {

inline constexpr const char* kPermissionGranted = "granted";
inline constexpr const char* kPermissionDenied = "denied";
inline constexpr const char* kPermissionUndetermined = "undetermined";
inline constexpr const char* kPermissionUnknown = "unknown";

// The Screen & System Audio Recording permission as one of "granted", "denied", "undetermined"
// or "unknown" (the privacy framework or its entry point is missing).
std::string audioCapturePermissionStatus(platform::CapturePrivacy& privacy);

}  // namespace velmuro::tap
