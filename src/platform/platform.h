#pragma once

#include "platform/accessibility_api.h"
#include "platform/audio_hardware.h"
#include "platform/capture_privacy.h"
#include "platform/child_processes.h"
#include "platform/clock.h"
#include "platform/pasteboard.h"
#include "platform/workspace.h"

namespace velmuro::platform {

// The services of one platform backend, handed by main to each operation that needs them.
struct Platform {
  AudioHardware& audio;
  CapturePrivacy& privacy;
  AccessibilityApi& accessibility;
  Workspace& workspace;
  Pasteboard& pasteboard;
  Clock& clock;
  ChildProcesses& children;
};

// Owns one backend's services (the simulated desktop, or the real platform) and lends them out.
class PlatformBackend {
 public:
  virtual ~PlatformBackend() = default;
  virtual Platform platform() = 0;
};

}  // namespace velmuro::platform
