#pragma once

#include <string>

#include "platform/audio_hardware.h"
#include "platform/capture_privacy.h"

namespace velmuro::tap {

// The capture permission's state; while it is undecided, first makes the platform ask the user
// by putting a short-lived, unmuted probe tap on another process and taking it down at once.
std::string requestAudioCapturePermission(platform::AudioHardware& audio,
                                          platform::CapturePrivacy& privacy);

}  // namespace velmuro::tap
