#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/audio_hardware.h"
#include "platform/capture_privacy.h"
#include "platform/sim/json.h"

namespace velmuro::sim {

struct World;

// One audio process object of the simulated audio system.
struct SimProcess {
  platform::AudioObjectID id = 0;
  pid_t pid = 0;
  // Absent: the bundle identifier read succeeds but leaves no string.
  std::optional<std::string> bundleId;
  bool runningOutput = false;
};

// A forced result for matching calls: every field that is set overrides the normal behaviour.
struct AudioFault {
  std::string call;                                 // e.g. "AudioDeviceStart"
  std::optional<std::uint32_t> selector{};          // property reads only
  std::optional<platform::AudioObjectID> object{};  // only calls on this object
  std::optional<platform::OSStatus> status{};       // the status returned instead
  std::optional<std::uint32_t> size{};              // a size query reports this many bytes
  std::optional<std::uint32_t> entriesWritten{};    // a list read writes only this many entries
};

struct SimTap {
  platform::AudioObjectID id = 0;
  std::string uid;
  platform::TapDescription description;
};

struct SimAggregateDevice {
  platform::AudioObjectID id = 0;
  platform::AggregateDeviceDescription description;
};

struct SimIOProc {
  platform::AudioDeviceIOProcID id{};
  platform::AudioObjectID device = 0;
  platform::AudioDeviceIOProc proc = nullptr;
  bool running = false;
};

// The simulated audio system: its process objects, the taps, aggregate devices and IO procedures
// the tool creates, and the faults a world injects.
struct AudioModel {
  std::vector<SimProcess> processes;
  std::vector<AudioFault> faults;
  std::vector<SimTap> taps;
  std::vector<SimAggregateDevice> devices;
  std::vector<SimIOProc> ioProcs;
  platform::AudioObjectID nextObjectID = 1000;
  std::uintptr_t nextIOProcID = 1;
};

// The simulated privacy service.
struct PrivacyModel {
  bool frameworkPresent = true;
  bool entryPointPresent = true;
  // What the preflight entry point returns: 0 granted, 1 denied, anything else undetermined.
  std::intptr_t preflight = 0;
  // The value preflight takes once a tap is created while the answer is undetermined (the user
  // answering the platform's question); absent: the question stays unanswered.
  std::optional<std::intptr_t> afterPrompt;
};

// The process objects silenced right now: those under a tap that mutes them, carried by a running
// aggregate device for a "muted when tapped" tap.
std::vector<platform::AudioObjectID> silencedProcesses(const AudioModel& audio);

// The IDs as a JSON array, as the log and the trace write them.
json::Value idList(const std::vector<platform::AudioObjectID>& ids);

// Finds a process object by its ID in constant time. The list may change between lookups (tests
// edit it freely), so every answer is checked against the list, and a lookup that misses builds
// the index afresh before it says there is no such object.
class ProcessIndex {
 public:
  // The process object with this ID, or null.
  const SimProcess* find(const std::vector<SimProcess>& processes, platform::AudioObjectID id);

 private:
  std::unordered_map<platform::AudioObjectID, std::size_t> positions_;
};

// The simulated audio system, serving the tool's calls from the world.
class SimAudioHardware : public platform::AudioHardware {
 public:
  explicit SimAudioHardware(World& world) : world_(world) {}

  platform::OSStatus getPropertyDataSize(platform::AudioObjectID object,
                                         const platform::AudioObjectPropertyAddress& address,
                                         std::uint32_t qualifierSize, const void* qualifier,
                                         std::uint32_t& outSize) override;
  platform::OSStatus getPropertyData(platform::AudioObjectID object,
                                     const platform::AudioObjectPropertyAddress& address,
                                     std::uint32_t qualifierSize, const void* qualifier,
                                     std::uint32_t& ioSize, void* outData) override;
  platform::OSStatus getStringPropertyData(platform::AudioObjectID object,
                                           const platform::AudioObjectPropertyAddress& address,
                                           std::string& outText) override;
  platform::OSStatus createProcessTap(const platform::TapDescription& description,
                                      platform::AudioObjectID& outTap) override;
  platform::OSStatus destroyProcessTap(platform::AudioObjectID tap) override;
  platform::OSStatus createAggregateDevice(const platform::AggregateDeviceDescription& description,
                                           platform::AudioObjectID& outDevice) override;
  platform::OSStatus destroyAggregateDevice(platform::AudioObjectID device) override;
  platform::OSStatus createIOProcID(platform::AudioObjectID device,
                                    platform::AudioDeviceIOProc proc, void* clientData,
                                    platform::AudioDeviceIOProcID& outID) override;
  platform::OSStatus destroyIOProcID(platform::AudioObjectID device,
                                     platform::AudioDeviceIOProcID procID) override;
  platform::OSStatus deviceStart(platform::AudioObjectID device,
                                 platform::AudioDeviceIOProcID procID) override;
  platform::OSStatus deviceStop(platform::AudioObjectID device,
                                platform::AudioDeviceIOProcID procID) override;

 private:
  // The process object a call names, or null; the system object is never one.
  const SimProcess* findProcess(platform::AudioObjectID object);

  World& world_;
  ProcessIndex processIndex_;
};

// The simulated privacy framework.
class SimCapturePrivacy : public platform::CapturePrivacy {
 public:
  explicit SimCapturePrivacy(World& world) : world_(world) {}

  Handle openFramework(const std::string& path, int mode) override;
  EntryPoint findEntryPoint(Handle framework, const std::string& name) override;
  std::intptr_t callPreflight(EntryPoint entryPoint, const std::string& service) override;

 private:
  World& world_;
};

}  // namespace velmuro::sim
