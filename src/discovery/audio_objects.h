#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/audio_hardware.h"

namespace velmuro::discovery {

// The address {selector, global scope, element 0} that every property read uses.
platform::AudioObjectPropertyAddress getPropertyAddress(std::uint32_t selector);

// The audio system's process objects in its own order; empty on any failure, and when the size
// the system reports is more than a list of process objects can be or than can be allocated.
// Entries the system promised but did not write stay 0.
std::vector<platform::AudioObjectID> getProcessObjectList(platform::AudioHardware& audio);

// The PID of a process object, unvetted; absent when the read fails.
std::optional<pid_t> processPID(platform::AudioHardware& audio, platform::AudioObjectID object);

// The bundle identifier of a process object (empty when it has none); absent when the read fails.
std::optional<std::string> processBundleID(platform::AudioHardware& audio,
                                           platform::AudioObjectID object);

// True only when the process object's running-output flag reads as non-zero.
bool processIsRunningOutput(platform::AudioHardware& audio, platform::AudioObjectID object);

// The process object of a PID: the audio system's translation, else the first listed object
// reporting that PID; absent when neither finds one.
std::optional<platform::AudioObjectID> resolveAudioObjectID(platform::AudioHardware& audio,
                                                            pid_t pid);

}  // namespace velmuro::discovery
