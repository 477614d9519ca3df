#include "platform/macos/macos_platform.h"

#include "platform/macos/macos_accessibility.h"
#include "platform/macos/macos_audio_hardware.h"
#include "platform/macos/macos_capture_privacy.h"
#include "platform/macos/macos_pasteboard.h"
#include "platform/macos/macos_workspace.h"
#include "platform/posix/posix_child_processes.h"
#include "platform/posix/system_clock.h"

namespace velmuro::macos {

namespace {

// Owns one of each real service for the length of the run.
class MacPlatform final : public platform::PlatformBackend {
 public:
  platform::Platform platform() override {
    return platform::Platform{audio_,      privacy_, accessibility_, workspace_,
                              pasteboard_, clock_,   children_};
  }

 private:
  MacAudioHardware audio_;
  MacCapturePrivacy privacy_;
  MacAccessibility accessibility_;
  MacWorkspace workspace_;
  MacPasteboard pasteboard_;
  posix::SystemClock clock_;
  posix::PosixChildProcesses children_;
};

}  // namespace

std::unique_ptr<platform::PlatformBackend> openMacPlatform() {
  return std::make_unique<MacPlatform>();
}

}  // namespace velmuro::macos
