#include "tap/tap_chain.h"

#include <random>

#include "discovery/audio_objects.h"
#include "output/json_message.h"
#include "tap/capture_permission.h"

namespace velmuro::tap {

using platform::AudioObjectID;
using platform::OSStatus;

namespace {

OSStatus noOpIOProc(AudioObjectID, const void*, const void*, const void*, void*, const void*,
                    void*) {
  return 0;
}

platform::TapDescription describeTap(platform::TapInitializer initializer,
                                     std::vector<AudioObjectID> processes, std::string name,
                                     platform::TapMuteBehavior muteBehavior) {
  platform::TapDescription description;
  description.initializer = initializer;
  description.processes = std::move(processes);
  description.name = std::move(name);
  description.isPrivate = true;
  description.muteBehavior = muteBehavior;
  return description;
}

void printFailure(const std::string& message) { output::printJSON(output::errorMessage(message)); }

// Reports a failure after the tap exists and takes the chain down again.
bool failLate(platform::AudioHardware& audio, const char* message, OSStatus status) {
  printFailure(message + std::to_string(status));
  destroyTap(audio);
  return false;
}

}  // namespace

AudioObjectID tapObjectID = platform::kAudioObjectUnknown;
AudioObjectID aggregateDeviceID = platform::kAudioObjectUnknown;
std::optional<platform::AudioDeviceIOProcID> ioProcID;
platform::AudioDeviceIOProc ioProcCallback = noOpIOProc;

platform::TapDescription muteTapDescription(const std::vector<AudioObjectID>& processes) {
  return describeTap(platform::TapInitializer::kStereoMixdownOfProcesses, processes, kMuteTapName,
                     platform::TapMuteBehavior::kMutedWhenTapped);
}

platform::TapDescription globalTapDescription(const std::vector<AudioObjectID>& excluded) {
  return describeTap(platform::TapInitializer::kStereoGlobalTapButExcludeProcesses, excluded,
                     kMuteTapName, platform::TapMuteBehavior::kMutedWhenTapped);
}

platform::TapDescription probeTapDescription(AudioObjectID process) {
  return describeTap(platform::TapInitializer::kStereoMixdownOfProcesses, {process}, kProbeTapName,
                     platform::TapMuteBehavior::kUnmuted);
}

platform::AggregateDeviceDescription aggregateDeviceDescription(const std::string& tapUID,
                                                                const std::string& deviceUUID) {
  platform::AggregateDeviceDescription description;
  description.name = kAggregateDeviceName;
  description.uid = kAggregateDeviceUIDPrefix + deviceUUID;
  description.taps = {{tapUID, true}};
  description.tapAutoStart = false;
  description.isPrivate = true;
  return description;
}

std::string formatUUID(const std::array<std::uint8_t, 16>& bytes) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(36);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text += '-';
    text += kHex[bytes[i] >> 4];
    text += kHex[bytes[i] & 0xF];
  }
  return text;
}

std::string randomUUIDString() {
  std::random_device source;
  std::array<std::uint8_t, 16> bytes{};
  for (std::size_t i = 0; i < bytes.size(); i += 4) {
    std::uint32_t word = source();
    for (std::size_t j = 0; j < 4; ++j) bytes[i + j] = static_cast<std::uint8_t>(word >> (8 * j));
  }
  bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | 0x40);  // version 4
  bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
  return formatUUID(bytes);
}

std::string describeOSStatus(OSStatus status) {
  auto code = static_cast<std::uint32_t>(status);
  std::string characters;
  for (int shift = 24; shift >= 0; shift -= 8) {
    auto byte = static_cast<unsigned char>(code >> shift);
    if (byte < 0x20 || byte > 0x7E) return std::to_string(status);
    characters += static_cast<char>(byte);
  }
  return std::to_string(status) + " (" + characters + ")";
}

bool isPermissionFailure(platform::CapturePrivacy& privacy, OSStatus status) {
  if (status == platform::kAudioDevicePermissionsError) return true;
  if (status == platform::kAudioHardwareIllegalOperationError ||
      status == platform::kAudioHardwareBadObjectError) {
    return audioCapturePermissionStatus(privacy) != kPermissionGranted;
  }
  return false;
}

bool installTap(platform::AudioHardware& audio, platform::CapturePrivacy& privacy,
                const platform::TapDescription& description, bool reportErrors) {
  // Each handle reaches its variable only once the call has succeeded, so a refused call never
  // leaves a stray ID for the teardown to destroy.
  AudioObjectID tap = platform::kAudioObjectUnknown;
  OSStatus status = audio.createProcessTap(description, tap);
  if (status != platform::kNoErr) {
    if (!reportErrors) return false;
    if (isPermissionFailure(privacy, status)) {
      output::JSONMessage message = output::errorMessage(
          "Screen & System Audio Recording permission required. Grant it in System Settings > "
          "Privacy & Security.");
      message.errorCode = "permission_required";
      output::printJSON(message);
    } else {
      printFailure("AudioHardwareCreateProcessTap failed: " + describeOSStatus(status));
    }
    return false;
  }
  tapObjectID = tap;

  std::string tapUID;
  status = audio.getStringPropertyData(
      tapObjectID, discovery::getPropertyAddress(platform::kAudioTapPropertyUID), tapUID);
  if (status != platform::kNoErr) return failLate(audio, "Failed to get tap UID: ", status);

  AudioObjectID device = platform::kAudioObjectUnknown;
  status =
      audio.createAggregateDevice(aggregateDeviceDescription(tapUID, randomUUIDString()), device);
  if (status != platform::kNoErr) {
    return failLate(audio, "AudioHardwareCreateAggregateDevice failed: ", status);
  }
  aggregateDeviceID = device;

  platform::AudioDeviceIOProcID procID{};
  status = audio.createIOProcID(aggregateDeviceID, ioProcCallback, nullptr, procID);
  if (status != platform::kNoErr)
    return failLate(audio, "AudioDeviceCreateIOProcID failed: ", status);
  ioProcID = procID;

  status = audio.deviceStart(aggregateDeviceID, procID);
  if (status != platform::kNoErr) return failLate(audio, "AudioDeviceStart failed: ", status);
  return true;
}

void destroyTap(platform::AudioHardware& audio) {
  if (ioProcID) {
    audio.deviceStop(aggregateDeviceID, *ioProcID);
    audio.destroyIOProcID(aggregateDeviceID, *ioProcID);
    ioProcID.reset();
  }
  if (aggregateDeviceID != platform::kAudioObjectUnknown) {
    audio.destroyAggregateDevice(aggregateDeviceID);
    aggregateDeviceID = platform::kAudioObjectUnknown;
  }
  if (tapObjectID != platform::kAudioObjectUnknown) {
    audio.destroyProcessTap(tapObjectID);
    tapObjectID = platform::kAudioObjectUnknown;
  }
}

bool createTap(platform::AudioHardware& audio, platform::CapturePrivacy& privacy,
               const std::vector<AudioObjectID>& processObjectIDs) {
  return installTap(audio, privacy, muteTapDescription(processObjectIDs));
}

bool createGlobalTap(platform::AudioHardware& audio, platform::CapturePrivacy& privacy,
                     const std::vector<AudioObjectID>& excludeProcessObjectIDs) {
  return installTap(audio, privacy, globalTapDescription(excludeProcessObjectIDs));
}

}  // namespace velmuro::tap
