// The audio calls the tool makes, answered from what the backend knows of the server's clients
// and from its own taps, devices and IO procedures (linux_audio_mutes.cpp keeps them current).
#include "platform/linux/audio/linux_audio_hardware.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "platform/linux/application_identity.h"

namespace velmuro::linux_desktop {

using platform::AudioObjectID;
using platform::OSStatus;

namespace {

// Writes a 4-byte value into a property buffer.
template <typename T>
OSStatus writeScalar(T value, std::uint32_t& ioSize, void* outData) {
  static_assert(sizeof(T) == 4);
  if (ioSize < sizeof value || outData == nullptr) return kAudioHardwareBadPropertySizeError;
  std::memcpy(outData, &value, sizeof value);
  ioSize = sizeof value;
  return platform::kNoErr;
}

}  // namespace

std::optional<pid_t> LinuxAudioHardware::presentProcess(AudioObjectID object) const {
  auto found = pidOfObject_.find(object);
  if (found == pidOfObject_.end()) return std::nullopt;
  for (const auto& [index, client] : state_.clients()) {
    if (state_.clientPID(client) == found->second) return found->second;
  }
  return std::nullopt;
}

std::vector<AudioObjectID> LinuxAudioHardware::processObjects() const {
  std::vector<AudioObjectID> objects;
  for (const auto& [index, client] : state_.clients()) {
    std::optional<pid_t> pid = state_.clientPID(client);
    if (!pid) continue;
    auto object = objectOfPID_.find(*pid);
    if (object != objectOfPID_.end()) objects.push_back(object->second);
  }
  // Object IDs are handed out in the order processes are first seen: a stable order.
  std::sort(objects.begin(), objects.end());
  objects.erase(std::unique(objects.begin(), objects.end()), objects.end());
  return objects;
}

AudioObjectID LinuxAudioHardware::objectForPID(pid_t pid) {
  auto [position, added] = objectOfPID_.try_emplace(pid, nextObjectID_);
  if (added) pidOfObject_[nextObjectID_++] = pid;
  return position->second;
}

// The calls the tool makes.

OSStatus LinuxAudioHardware::getPropertyDataSize(
    AudioObjectID object, const platform::AudioObjectPropertyAddress& address, std::uint32_t,
    const void*, std::uint32_t& outSize) {
  const std::uint32_t selector = address.mSelector;
  if (taps_.count(object) > 0) {
    if (selector != platform::kAudioTapPropertyUID) return kAudioHardwareUnknownPropertyError;
    outSize = 8;
    return platform::kNoErr;
  }
  if (devices_.count(object) > 0) return kAudioHardwareUnknownPropertyError;
  if (!ensureServer()) return kAudioHardwareNotRunningError;
  ServerConnection::Lock lock(*connection_);
  if (!connection_->connected()) return kAudioHardwareNotRunningError;
  if (object == platform::kAudioObjectSystemObject) {
    if (selector == platform::kAudioHardwarePropertyProcessObjectList) {
      outSize = static_cast<std::uint32_t>(processObjects().size() * sizeof(AudioObjectID));
    } else if (selector == platform::kAudioHardwarePropertyTranslatePIDToProcessObject) {
      outSize = sizeof(AudioObjectID);
    } else {
      return kAudioHardwareUnknownPropertyError;
    }
    return platform::kNoErr;
  }
  if (!presentProcess(object)) return platform::kAudioHardwareBadObjectError;
  if (selector == platform::kAudioProcessPropertyPID ||
      selector == platform::kAudioProcessPropertyIsRunningOutput) {
    outSize = 4;
  } else if (selector == platform::kAudioProcessPropertyBundleID) {
    outSize = 8;
  } else {
    return kAudioHardwareUnknownPropertyError;
  }
  return platform::kNoErr;
}

OSStatus LinuxAudioHardware::getPropertyData(AudioObjectID object,
                                             const platform::AudioObjectPropertyAddress& address,
                                             std::uint32_t qualifierSize, const void* qualifier,
                                             std::uint32_t& ioSize, void* outData) {
  const std::uint32_t selector = address.mSelector;
  // The tap's UID and the bundle identifier are strings: getStringPropertyData reads them.
  if (taps_.count(object) > 0 || devices_.count(object) > 0) {
    return kAudioHardwareUnknownPropertyError;
  }
  if (!ensureServer()) return kAudioHardwareNotRunningError;
  ServerConnection::Lock lock(*connection_);
  if (!connection_->connected()) return kAudioHardwareNotRunningError;
  if (object == platform::kAudioObjectSystemObject) {
    if (selector == platform::kAudioHardwarePropertyProcessObjectList) {
      std::vector<AudioObjectID> objects = processObjects();
      std::size_t count = std::min<std::size_t>(objects.size(), ioSize / sizeof(AudioObjectID));
      if (count > 0 && outData == nullptr) return kAudioHardwareBadPropertySizeError;
      if (count > 0) std::memcpy(outData, objects.data(), count * sizeof(AudioObjectID));
      ioSize = static_cast<std::uint32_t>(count * sizeof(AudioObjectID));
      return platform::kNoErr;
    }
    if (selector == platform::kAudioHardwarePropertyTranslatePIDToProcessObject) {
      pid_t pid = 0;
      if (qualifierSize != sizeof pid || qualifier == nullptr) {
        return kAudioHardwareBadPropertySizeError;
      }
      std::memcpy(&pid, qualifier, sizeof pid);
      AudioObjectID found = platform::kAudioObjectUnknown;
      auto known = objectOfPID_.find(pid);
      if (known != objectOfPID_.end() && presentProcess(known->second)) found = known->second;
      return writeScalar(found, ioSize, outData);
    }
    return kAudioHardwareUnknownPropertyError;
  }
  std::optional<pid_t> pid = presentProcess(object);
  if (!pid) return platform::kAudioHardwareBadObjectError;
  if (selector == platform::kAudioProcessPropertyPID) return writeScalar(*pid, ioSize, outData);
  if (selector == platform::kAudioProcessPropertyIsRunningOutput) {
    std::uint32_t running = 0;
    for (const auto& [index, stream] : state_.streams()) {
      if (!stream.corked && state_.streamPID(stream) == pid) running = 1;
    }
    return writeScalar(running, ioSize, outData);
  }
  return kAudioHardwareUnknownPropertyError;
}

OSStatus LinuxAudioHardware::getStringPropertyData(
    AudioObjectID object, const platform::AudioObjectPropertyAddress& address,
    std::string& outText) {
  const std::uint32_t selector = address.mSelector;
  if (auto tap = taps_.find(object); tap != taps_.end()) {
    if (selector != platform::kAudioTapPropertyUID) return kAudioHardwareUnknownPropertyError;
    outText = tap->second.uid;
    return platform::kNoErr;
  }
  if (devices_.count(object) > 0 || object == platform::kAudioObjectSystemObject) {
    return kAudioHardwareUnknownPropertyError;
  }
  if (!ensureServer()) return kAudioHardwareNotRunningError;
  ServerConnection::Lock lock(*connection_);
  if (!connection_->connected()) return kAudioHardwareNotRunningError;
  std::optional<pid_t> pid = presentProcess(object);
  if (!pid) return platform::kAudioHardwareBadObjectError;
  if (selector != platform::kAudioProcessPropertyBundleID)
    return kAudioHardwareUnknownPropertyError;
  // The first of the process's clients, in the server's order, that names its application;
  // else the desktop-entry ID the process runs as, the name the readers know it by.
  outText.clear();
  for (const auto& [index, client] : state_.clients()) {
    if (state_.clientPID(client) == pid && !client.applicationId.empty()) {
      outText = client.applicationId;
      return platform::kNoErr;
    }
  }
  outText = applicationIdentity(*pid);
  return platform::kNoErr;
}

OSStatus LinuxAudioHardware::createProcessTap(const platform::TapDescription& description,
                                              AudioObjectID& outTap) {
  if (!ensureServer()) return kAudioHardwareNotRunningError;
  ServerConnection::Lock lock(*connection_);
  if (!connection_->connected()) return kAudioHardwareNotRunningError;
  Tap tap{description, {}, {}};
  for (AudioObjectID process : description.processes) {
    std::optional<pid_t> pid = presentProcess(process);
    if (!pid) return platform::kAudioHardwareBadObjectError;
    tap.pids.insert(*pid);
  }
  const AudioObjectID id = nextObjectID_++;
  tap.uid = "velmuro-tap-" + std::to_string(::getpid()) + "-" + std::to_string(id);
  taps_.emplace(id, std::move(tap));
  if (description.muteBehavior == platform::TapMuteBehavior::kMuted) {
    // A tap that mutes by itself mutes as it is made, or is not made.
    if (OSStatus status = settle(true); status != platform::kNoErr) {
      taps_.erase(id);
      settle(false);
      return status;
    }
  }
  outTap = id;
  return platform::kNoErr;
}

OSStatus LinuxAudioHardware::destroyProcessTap(AudioObjectID tap) {
  if (taps_.count(tap) == 0) return platform::kAudioHardwareBadObjectError;
  auto lock = lockLoop();
  taps_.erase(tap);
  settle(false);
  return platform::kNoErr;
}

OSStatus LinuxAudioHardware::createAggregateDevice(
    const platform::AggregateDeviceDescription& description, AudioObjectID& outDevice) {
  Device device;
  for (const platform::SubTapDescription& sub : description.taps) {
    bool known = std::any_of(taps_.begin(), taps_.end(),
                             [&](const auto& tap) { return tap.second.uid == sub.uid; });
    if (!known) return platform::kAudioHardwareBadObjectError;
    device.tapUIDs.push_back(sub.uid);
  }
  auto lock = lockLoop();
  const AudioObjectID id = nextObjectID_++;
  devices_.emplace(id, std::move(device));
  outDevice = id;
  return platform::kNoErr;
}

OSStatus LinuxAudioHardware::destroyAggregateDevice(AudioObjectID device) {
  if (devices_.count(device) == 0) return platform::kAudioHardwareBadObjectError;
  auto lock = lockLoop();
  devices_.erase(device);
  std::erase_if(ioProcs_, [&](const auto& proc) { return proc.second.device == device; });
  settle(false);
  return platform::kNoErr;
}

OSStatus LinuxAudioHardware::createIOProcID(AudioObjectID device, platform::AudioDeviceIOProc proc,
                                            void*, platform::AudioDeviceIOProcID& outID) {
  if (devices_.count(device) == 0) return platform::kAudioHardwareBadObjectError;
  if (proc == nullptr) return platform::kAudioHardwareIllegalOperationError;
  // The server does the muting, so the procedure is registered but never called.
  auto lock = lockLoop();
  const std::uintptr_t id = nextIOProcID_++;
  ioProcs_[id] = {device, false};
  outID = static_cast<platform::AudioDeviceIOProcID>(id);
  return platform::kNoErr;
}

OSStatus LinuxAudioHardware::destroyIOProcID(AudioObjectID device,
                                             platform::AudioDeviceIOProcID procID) {
  auto proc = ioProcs_.find(static_cast<std::uintptr_t>(procID));
  if (proc == ioProcs_.end() || proc->second.device != device) {
    return platform::kAudioHardwareBadObjectError;
  }
  auto lock = lockLoop();
  ioProcs_.erase(proc);
  settle(false);
  return platform::kNoErr;
}

OSStatus LinuxAudioHardware::deviceStart(AudioObjectID device,
                                         platform::AudioDeviceIOProcID procID) {
  auto proc = ioProcs_.find(static_cast<std::uintptr_t>(procID));
  if (proc == ioProcs_.end() || proc->second.device != device) {
    return platform::kAudioHardwareBadObjectError;
  }
  // Without a guardian a killed tool would leave its mutes in place: no mute then.
  if (!guardian_.running()) return platform::kAudioHardwareIllegalOperationError;
  auto lock = lockLoop();
  proc->second.running = true;
  return settle(true);
}

OSStatus LinuxAudioHardware::deviceStop(AudioObjectID device,
                                        platform::AudioDeviceIOProcID procID) {
  auto proc = ioProcs_.find(static_cast<std::uintptr_t>(procID));
  if (proc == ioProcs_.end() || proc->second.device != device) {
    return platform::kAudioHardwareBadObjectError;
  }
  auto lock = lockLoop();
  proc->second.running = false;
  return settle(false);
}

}  // namespace velmuro::linux_desktop
