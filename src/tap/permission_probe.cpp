#include "tap/permission_probe.h"

#include <unistd.h>

#include <optional>

#include "discovery/audio_objects.h"
#include "tap/capture_permission.h"
#include "tap/tap_chain.h"

namespace velmuro::tap {

namespace {

// The first listed process object that is not this process (or whose PID can't be read).
std::optional<platform::AudioObjectID> chooseProbeTarget(platform::AudioHardware& audio) {
  pid_t self = ::getpid();
  for (platform::AudioObjectID object : discovery::getProcessObjectList(audio)) {
    std::optional<pid_t> pid = discovery::processPID(audio, object);
    if (!pid || *pid != self) return object;
  }
  return std::nullopt;
}

}  // namespace

std::string requestAudioCapturePermission(platform::AudioHardware& audio,
                                          platform::CapturePrivacy& privacy) {
  std::string state = audioCapturePermissionStatus(privacy);
  if (state == kPermissionGranted || state == kPermissionDenied) return state;
  std::optional<platform::AudioObjectID> target = chooseProbeTarget(audio);
  if (!target) return state;
  installTap(audio, privacy, probeTapDescription(*target), /*reportErrors=*/false);
  destroyTap(audio);
  return audioCapturePermissionStatus(privacy);
}

}  // namespace velmuro::tap
