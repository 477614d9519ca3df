#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace velmuro::platform {

// Core Audio's object ID: 32-bit unsigned, 0 means no object.
using AudioObjectID = std::uint32_t;
// Core Audio's status code: 0 is success.
using OSStatus = std::int32_t;

inline constexpr AudioObjectID kAudioObjectUnknown = 0;
inline constexpr AudioObjectID kAudioObjectSystemObject = 1;
inline constexpr OSStatus kNoErr = 0;

// Packs four ASCII characters into a 32-bit code, the first in the most significant byte.
constexpr std::uint32_t fourCharCode(const char (&code)[5]) {
  return (static_cast<std::uint32_t>(static_cast<unsigned char>(code[0])) << 24) |
         (static_cast<std::uint32_t>(static_cast<unsigned char>(code[1])) << 16) |
         (static_cast<std::uint32_t>(static_cast<unsigned char>(code[2])) << 8) |
         static_cast<std::uint32_t>(static_cast<unsigned char>(code[3]));
}

inline constexpr std::uint32_t kAudioObjectPropertyScopeGlobal = fourCharCode("glob");
inline constexpr std::uint32_t kAudioObjectPropertyElementMain = 0;

inline constexpr std::uint32_t kAudioHardwarePropertyProcessObjectList = fourCharCode("prs#");
inline constexpr std::uint32_t kAudioHardwarePropertyTranslatePIDToProcessObject =
    fourCharCode("id2p");
inline constexpr std::uint32_t kAudioProcessPropertyPID = fourCharCode("ppid");
inline constexpr std::uint32_t kAudioProcessPropertyBundleID = fourCharCode("pbid");
inline constexpr std::uint32_t kAudioProcessPropertyIsRunningOutput = fourCharCode("piro");
inline constexpr std::uint32_t kAudioTapPropertyUID = fourCharCode("tuid");

inline constexpr OSStatus kAudioDevicePermissionsError =
    static_cast<OSStatus>(fourCharCode("!hog"));
inline constexpr OSStatus kAudioHardwareIllegalOperationError =
    static_cast<OSStatus>(fourCharCode("nope"));
inline constexpr OSStatus kAudioHardwareBadObjectError =
    static_cast<OSStatus>(fourCharCode("!obj"));

// Core Audio's AudioObjectPropertyAddress.
struct AudioObjectPropertyAddress {
  std::uint32_t mSelector = 0;
  std::uint32_t mScope = 0;
  std::uint32_t mElement = 0;
};

// The CATapDescription initialiser a tap is built with.
enum class TapInitializer {
  kStereoMixdownOfProcesses,
  kStereoGlobalTapButExcludeProcesses,
};

// CATapMuteBehavior.
enum class TapMuteBehavior : int {
  kUnmuted = 0,
  kMuted = 1,
  kMutedWhenTapped = 2,
};

// Everything a CATapDescription is given: initialiser with its processes, then name, private
// flag and mute behaviour, set in that order.
struct TapDescription {
  TapInitializer initializer = TapInitializer::kStereoMixdownOfProcesses;
  std::vector<AudioObjectID> processes;
  std::string name;
  bool isPrivate = false;
  TapMuteBehavior muteBehavior = TapMuteBehavior::kUnmuted;
};

// One entry of the aggregate device's "taps" list ("uid", "drift").
struct SubTapDescription {
  std::string uid;
  bool driftCompensation = false;
};

// The aggregate device dictionary: "name", "uid", "taps", "tapautostart", "private".
struct AggregateDeviceDescription {
  std::string name;
  std::string uid;
  std::vector<SubTapDescription> taps;
  bool tapAutoStart = false;
  bool isPrivate = false;
};

// Core Audio's AudioDeviceIOProc, with the time stamps and buffer lists left opaque.
using AudioDeviceIOProc = OSStatus (*)(AudioObjectID device, const void* now, const void* inputData,
                                       const void* inputTime, void* outputData,
                                       const void* outputTime, void* clientData);

// Core Audio's AudioDeviceIOProcID, opaque to the tool.
enum class AudioDeviceIOProcID : std::uintptr_t {};

// The audio system's hardware abstraction layer, one method per call the tool makes.
class AudioHardware {
 public:
  virtual ~AudioHardware() = default;

  // AudioObjectGetPropertyDataSize.
  virtual OSStatus getPropertyDataSize(AudioObjectID object,
                                       const AudioObjectPropertyAddress& address,
                                       std::uint32_t qualifierSize, const void* qualifier,
                                       std::uint32_t& outSize) = 0;
  // AudioObjectGetPropertyData for a property held as plain bytes.
  virtual OSStatus getPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                   std::uint32_t qualifierSize, const void* qualifier,
                                   std::uint32_t& ioSize, void* outData) = 0;
  // AudioObjectGetPropertyData for a string-valued property: the string reference starts as an
  // empty string, and on success outText holds the text of the string found there afterwards
  // (empty when there is none); the string itself is released by the backend.
  virtual OSStatus getStringPropertyData(AudioObjectID object,
                                         const AudioObjectPropertyAddress& address,
                                         std::string& outText) = 0;
  // AudioHardwareCreateProcessTap.
  virtual OSStatus createProcessTap(const TapDescription& description, AudioObjectID& outTap) = 0;
  // AudioHardwareDestroyProcessTap.
  virtual OSStatus destroyProcessTap(AudioObjectID tap) = 0;
  // AudioHardwareCreateAggregateDevice.
  virtual OSStatus createAggregateDevice(const AggregateDeviceDescription& description,
                                         AudioObjectID& outDevice) = 0;
  // AudioHardwareDestroyAggregateDevice.
  virtual OSStatus destroyAggregateDevice(AudioObjectID device) = 0;
  // AudioDeviceCreateIOProcID.
  virtual OSStatus createIOProcID(AudioObjectID device, AudioDeviceIOProc proc, void* clientData,
                                  AudioDeviceIOProcID& outID) = 0;
  // AudioDeviceDestroyIOProcID.
  virtual OSStatus destroyIOProcID(AudioObjectID device, AudioDeviceIOProcID procID) = 0;
  // AudioDeviceStart.
  virtual OSStatus deviceStart(AudioObjectID device, AudioDeviceIOProcID procID) = 0;
  // AudioDeviceStop.
  virtual OSStatus deviceStop(AudioObjectID device, AudioDeviceIOProcID procID) = 0;
};

}  // namespace velmuro::platform
