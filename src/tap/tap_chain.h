#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/audio_hardware.h"
#include "platform/capture_privacy.h"

namespace velmuro::tap {

// The one tap chain of this process: the tap, the private aggregate device carrying it and the
// IO procedure registered on that device. Empty at start.
extern platform::AudioObjectID tapObjectID;
extern platform::AudioObjectID aggregateDeviceID;
extern std::optional<platform::AudioDeviceIOProcID> ioProcID;
// The IO procedure the device runs: it returns 0 and touches nothing.
extern platform::AudioDeviceIOProc ioProcCallback;

inline constexpr const char* kMuteTapName = "QuorvaneSotelleTap";
inline constexpr const char* kProbeTapName = "QuorvaneSotellePermissionProbe";
inline constexpr const char* kAggregateDeviceName = "QuorvaneSotelleAggDevice";
inline constexpr const char* kAggregateDeviceUIDPrefix = "com.quorvane.sotelle.agg-";

// The private "muted when tapped" stereo mixdown of these process objects.
platform::TapDescription muteTapDescription(const std::vector<platform::AudioObjectID>& processes);
// The private "muted when tapped" global tap that leaves these process objects alone.
platform::TapDescription globalTapDescription(const std::vector<platform::AudioObjectID>& excluded);
// The private, unmuted stereo mixdown of one process object that makes the platform ask for the
// capture permission.
platform::TapDescription probeTapDescription(platform::AudioObjectID process);

// The private aggregate device that holds only the tap with this UID, under a device UID made
// from deviceUUID.
platform::AggregateDeviceDescription aggregateDeviceDescription(const std::string& tapUID,
                                                                const std::string& deviceUUID);

// Sixteen bytes in the canonical upper-case UUID form (8-4-4-4-12 hexadecimal digits).
std::string formatUUID(const std::array<std::uint8_t, 16>& bytes);
// A fresh random (version 4) UUID in canonical upper-case form.
std::string randomUUIDString();

// The status in signed decimal, followed by its four characters in parentheses when all four
// bytes are printable ASCII.
std::string describeOSStatus(platform::OSStatus status);

// True when a refused tap means the capture permission is missing; asks the privacy service only
// for the statuses that can mean either.
bool isPermissionFailure(platform::CapturePrivacy& privacy, platform::OSStatus status);

// Puts a chain in place for the description and starts it; false when it isn't running, after
// printing why (a refused tap only when reportErrors is set) and taking down what was made.
bool installTap(platform::AudioHardware& audio, platform::CapturePrivacy& privacy,
                const platform::TapDescription& description, bool reportErrors = true);

// Takes down whatever part of the chain exists, IO procedure first, and empties the variables.
void destroyTap(platform::AudioHardware& audio);

// Mutes these process objects; false when the chain could not be put in place.
bool createTap(platform::AudioHardware& audio, platform::CapturePrivacy& privacy,
               const std::vector<platform::AudioObjectID>& processObjectIDs);

// Mutes every process but these; false when the chain could not be put in place.
bool createGlobalTap(platform::AudioHardware& audio, platform::CapturePrivacy& privacy,
                     const std::vector<platform::AudioObjectID>& excludeProcessObjectIDs);

}  // namespace velmuro::tap
