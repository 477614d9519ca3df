#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/audio_hardware.h"
#include "platform/child_processes.h"

namespace velmuro::discovery {

// The process objects a mute covers: the object of explicitPID alone when one is given;
// otherwise every listed object whose PID bears a target's process name or whose bundle
// identifier is a dotted target or lies below one, narrowed to those playing audio now when
// any are.
std::vector<platform::AudioObjectID> findAudioProcessObjects(
    platform::AudioHardware& audio, platform::ChildProcesses& children,
    const std::vector<std::string>& targets, std::optional<pid_t> explicitPID);

}  // namespace velmuro::discovery
