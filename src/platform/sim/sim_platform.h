#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "platform/platform.h"
#include "platform/posix/posix_child_processes.h"
#include "platform/sim/audio_model.h"
#include "platform/sim/sim_desktop.h"
#include "platform/sim/world.h"

namespace velmuro::sim {

// The simulated desktop's services over one world; child processes are run for real.
class SimPlatform : public platform::PlatformBackend {
 public:
  explicit SimPlatform(World& world)
      : audio_(world),
        privacy_(world),
        accessibility_(world),
        workspace_(world),
        pasteboard_(world),
        clock_(world.clock) {}

  platform::Platform platform() override {
    return {audio_, privacy_, accessibility_, workspace_, pasteboard_, clock_, children_};
  }

 private:
  SimAudioHardware audio_;
  SimCapturePrivacy privacy_;
  SimAccessibility accessibility_;
  SimWorkspace workspace_;
  SimPasteboard pasteboard_;
  VirtualClock& clock_;
  posix::PosixChildProcesses children_;
};

// The most a world file may hold: enough for hundreds of thousands of process objects or nodes,
// and a bound on what an endless file (a device, a pipe) can make the simulated desktop hold.
inline constexpr std::size_t kMaxWorldFileBytes = 16 * 1024 * 1024;

// Opens the world file at worldPath and, when tracePath is not empty, sends every platform call
// and, at exit, the world's final state to that file. Absent with a reason when the world can't
// be read, is larger than kMaxWorldFileBytes or is not valid.
std::unique_ptr<platform::PlatformBackend> openSimulatedDesktop(const std::string& worldPath,
                                                                const std::string& tracePath,
                                                                std::string* error);

}  // namespace velmuro::sim
