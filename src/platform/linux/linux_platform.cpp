#include "platform/linux/linux_platform.h"

#include "platform/linux/accessibility/linux_accessibility.h"
#include "platform/linux/audio/linux_audio_hardware.h"
#include "platform/linux/linux_capture_privacy.h"
#include "platform/linux/clipboard/linux_pasteboard.h"
#include "platform/linux/linux_workspace.h"
#include "platform/posix/posix_child_processes.h"
#include "platform/posix/system_clock.h"

namespace velmuro::linux_desktop {

namespace {

// Owns one of each real service for the length of the run.
class LinuxPlatform final : public platform::PlatformBackend {
 public:
  platform::Platform platform() override {
    return platform::Platform{audio_,      privacy_, accessibility_, workspace_,
                              pasteboard_, clock_,   children_};
  }

 private:
  LinuxAudioHardware audio_;
  LinuxCapturePrivacy privacy_;
  LinuxAccessibility accessibility_;
  LinuxWorkspace workspace_;
  LinuxPasteboard pasteboard_;
  posix::SystemClock clock_;
  // Only the mute commands run children (pgrep, ps), and they need the sound server right
  // after: libpulse loads and the connection is made while the first child works.
  posix::PosixChildProcesses children_{[this] { audio_.beginConnecting(); }};
};

}  // namespace

std::unique_ptr<platform::PlatformBackend> openLinuxPlatform() {
  return std::make_unique<LinuxPlatform>();
}

}  // namespace velmuro::linux_desktop
