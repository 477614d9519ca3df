#pragma once

#include <string>

#include "platform/sim/audio_model.h"
#include "platform/sim/json.h"

namespace velmuro::sim {

// Reads the "audio" and "privacy" sections of a world file.
bool loadAudio(const json::Value& root, AudioModel& audio, PrivacyModel& privacy,
               std::string* error);

// The audio system's state as JSON for the trace file.
json::Value audioState(const AudioModel& audio);

}  // namespace velmuro::sim
