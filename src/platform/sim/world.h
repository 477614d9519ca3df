#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/sim/audio_model.h"
#include "platform/sim/call_log.h"
#include "platform/sim/desktop_model.h"
#include "platform/sim/json.h"
#include "platform/sim/virtual_clock.h"

namespace velmuro::sim {

// The whole simulated desktop: its audio system, privacy service, applications, pasteboard,
// virtual clock and the log of every call made to it.
struct World {
  CallLog log;
  VirtualClock clock{log};
  AudioModel audio;
  PrivacyModel privacy;
  DesktopModel desktop;
};

// Builds a world from the text of a world file; absent with a reason when the file is not valid.
std::unique_ptr<World> loadWorld(std::string_view text, std::string* error);

// The world's state as JSON, as the trace file ends with it.
json::Value worldState(const World& world);

}  // namespace velmuro::sim
