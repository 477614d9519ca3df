#pragma once

#include <cstdint>
#include <string>

#include "platform/audio_hardware.h"

namespace velmuro::macos {

// The Core Audio hardware abstraction layer: each method is the one HAL call it names (the first
// call of a run also detaches Core Audio's notifications from the main run loop).
class MacAudioHardware final : public platform::AudioHardware {
 public:
  // AudioObjectGetPropertyDataSize.
  platform::OSStatus getPropertyDataSize(platform::AudioObjectID object,
                                         const platform::AudioObjectPropertyAddress& address,
                                         std::uint32_t qualifierSize, const void* qualifier,
                                         std::uint32_t& outSize) override;
  // AudioObjectGetPropertyData into plain bytes.
  platform::OSStatus getPropertyData(platform::AudioObjectID object,
                                     const platform::AudioObjectPropertyAddress& address,
                                     std::uint32_t qualifierSize, const void* qualifier,
                                     std::uint32_t& ioSize, void* outData) override;
  // AudioObjectGetPropertyData into a CFString reference, whose text is taken and released.
  platform::OSStatus getStringPropertyData(platform::AudioObjectID object,
                                           const platform::AudioObjectPropertyAddress& address,
                                           std::string& outText) override;
  // AudioHardwareCreateProcessTap with a CATapDescription built from the description.
  platform::OSStatus createProcessTap(const platform::TapDescription& description,
                                      platform::AudioObjectID& outTap) override;
  // AudioHardwareDestroyProcessTap.
  platform::OSStatus destroyProcessTap(platform::AudioObjectID tap) override;
  // AudioHardwareCreateAggregateDevice with a dictionary built from the description.
  platform::OSStatus createAggregateDevice(const platform::AggregateDeviceDescription& description,
                                           platform::AudioObjectID& outDevice) override;
  // AudioHardwareDestroyAggregateDevice.
  platform::OSStatus destroyAggregateDevice(platform::AudioObjectID device) override;
  // AudioDeviceCreateIOProcID.
  platform::OSStatus createIOProcID(platform::AudioObjectID device,
                                    platform::AudioDeviceIOProc proc, void* clientData,
                                    platform::AudioDeviceIOProcID& outID) override;
  // AudioDeviceDestroyIOProcID.
  platform::OSStatus destroyIOProcID(platform::AudioObjectID device,
                                     platform::AudioDeviceIOProcID procID) override;
  // AudioDeviceStart.
  platform::OSStatus deviceStart(platform::AudioObjectID device,
                                 platform::AudioDeviceIOProcID procID) override;
  // AudioDeviceStop.
  platform::OSStatus deviceStop(platform::AudioObjectID device,
                                platform::AudioDeviceIOProcID procID) override;

 private:
  // Once, before the first HAL call: kAudioHardwarePropertyRunLoop set to NULL, so that Core Audio
  // runs its notifications on a thread of its own rather than on the main run loop, which this
  // tool never runs.
  void detachNotificationsFromMainRunLoop();

  // True once that has been done.
  bool notificationsDetached_ = false;
};

}  // namespace velmuro::macos
