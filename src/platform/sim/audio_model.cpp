#include "platform/sim/audio_model.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <set>

#include "platform/sim/world.h"

namespace velmuro::sim {

using platform::AudioObjectID;
using platform::fourCharCode;
using platform::OSStatus;

namespace {

constexpr OSStatus kUnknownPropertyError = static_cast<OSStatus>(fourCharCode("who?"));
constexpr OSStatus kBadPropertySizeError = static_cast<OSStatus>(fourCharCode("!siz"));
constexpr OSStatus kBadDeviceError = static_cast<OSStatus>(fourCharCode("!dev"));

// The sim's handles for the privacy framework and its entry point.
int frameworkToken;
int entryPointToken;

std::string codeText(std::uint32_t code) {
  std::string text(4, ' ');
  for (int i = 0; i < 4; ++i)
    text[static_cast<std::size_t>(i)] = static_cast<char>(code >> (24 - 8 * i));
  return text;
}

const AudioFault* findFault(const AudioModel& audio, std::string_view call, AudioObjectID object,
                            std::optional<std::uint32_t> selector = std::nullopt) {
  for (const AudioFault& fault : audio.faults) {
    if (fault.call != call) continue;
    if (fault.object && *fault.object != object) continue;
    if (fault.selector && fault.selector != selector) continue;
    return &fault;
  }
  return nullptr;
}

const SimTap* findTap(const AudioModel& audio, AudioObjectID id) {
  for (const SimTap& tap : audio.taps) {
    if (tap.id == id) return &tap;
  }
  return nullptr;
}

std::vector<AudioObjectID> tappedProcesses(const AudioModel& audio, const SimTap& tap) {
  std::vector<AudioObjectID> listed = tap.description.processes;
  std::sort(listed.begin(), listed.end());
  std::vector<AudioObjectID> ids;
  for (const SimProcess& process : audio.processes) {
    bool isListed = std::binary_search(listed.begin(), listed.end(), process.id);
    bool global = tap.description.initializer ==
                  platform::TapInitializer::kStereoGlobalTapButExcludeProcesses;
    if (isListed != global) ids.push_back(process.id);
  }
  return ids;
}

void putValue(void* out, std::uint32_t& ioSize, const void* value, std::uint32_t size) {
  std::memcpy(out, value, size);
  ioSize = size;
}

}  // namespace

const SimProcess* ProcessIndex::find(const std::vector<SimProcess>& processes, AudioObjectID id) {
  auto known = [&]() -> const SimProcess* {
    auto found = positions_.find(id);
    if (found == positions_.end() || found->second >= processes.size()) return nullptr;
    const SimProcess& process = processes[found->second];
    return process.id == id ? &process : nullptr;
  };
  if (const SimProcess* process = known()) return process;
  positions_.clear();
  positions_.reserve(processes.size());
  for (std::size_t i = 0; i < processes.size(); ++i) positions_.emplace(processes[i].id, i);
  return known();
}

const SimProcess* SimAudioHardware::findProcess(AudioObjectID object) {
  if (object == platform::kAudioObjectSystemObject) return nullptr;
  return processIndex_.find(world_.audio.processes, object);
}

json::Value idList(const std::vector<AudioObjectID>& ids) {
  json::Array list;
  for (AudioObjectID id : ids) list.emplace_back(id);
  return list;
}

std::vector<AudioObjectID> silencedProcesses(const AudioModel& audio) {
  std::set<AudioObjectID> silenced;
  auto silence = [&](const SimTap& tap) {
    for (AudioObjectID id : tappedProcesses(audio, tap)) silenced.insert(id);
  };
  for (const SimTap& tap : audio.taps) {
    if (tap.description.muteBehavior == platform::TapMuteBehavior::kMuted) silence(tap);
  }
  for (const SimIOProc& proc : audio.ioProcs) {
    if (!proc.running) continue;
    for (const SimAggregateDevice& device : audio.devices) {
      if (device.id != proc.device) continue;
      for (const platform::SubTapDescription& sub : device.description.taps) {
        for (const SimTap& tap : audio.taps) {
          if (tap.uid == sub.uid &&
              tap.description.muteBehavior == platform::TapMuteBehavior::kMutedWhenTapped) {
            silence(tap);
          }
        }
      }
    }
  }
  std::vector<AudioObjectID> ordered;
  for (const SimProcess& process : audio.processes) {
    if (silenced.count(process.id)) ordered.push_back(process.id);
  }
  return ordered;
}

// --- Property reads ---

OSStatus SimAudioHardware::getPropertyDataSize(AudioObjectID object,
                                               const platform::AudioObjectPropertyAddress& address,
                                               std::uint32_t /*qualifierSize*/,
                                               const void* /*qualifier*/, std::uint32_t& outSize) {
  const AudioModel& audio = world_.audio;
  std::uint32_t selector = address.mSelector;
  OSStatus status = platform::kNoErr;
  if (const AudioFault* fault =
          findFault(audio, "AudioObjectGetPropertyDataSize", object, selector);
      fault && (fault->status || fault->size)) {
    status = fault->status.value_or(platform::kNoErr);
    if (fault->size) outSize = *fault->size;
  } else if (object == platform::kAudioObjectSystemObject) {
    if (selector == platform::kAudioHardwarePropertyProcessObjectList) {
      outSize = static_cast<std::uint32_t>(4 * audio.processes.size());
    } else if (selector == platform::kAudioHardwarePropertyTranslatePIDToProcessObject) {
      outSize = 4;
    } else {
      status = kUnknownPropertyError;
    }
  } else if (findProcess(object)) {
    if (selector == platform::kAudioProcessPropertyBundleID) {
      outSize = 8;
    } else if (selector == platform::kAudioProcessPropertyPID ||
               selector == platform::kAudioProcessPropertyIsRunningOutput) {
      outSize = 4;
    } else {
      status = kUnknownPropertyError;
    }
  } else if (findTap(audio, object)) {
    status = selector == platform::kAudioTapPropertyUID ? (outSize = 8, platform::kNoErr)
                                                        : kUnknownPropertyError;
  } else {
    status = platform::kAudioHardwareBadObjectError;
  }
  world_.log.record("AudioObjectGetPropertyDataSize",
                    json::Object{{"object", object},
                                 {"selector", codeText(selector)},
                                 {"size", status == 0 ? json::Value(outSize) : json::Value()}},
                    status);
  return status;
}

OSStatus SimAudioHardware::getPropertyData(AudioObjectID object,
                                           const platform::AudioObjectPropertyAddress& address,
                                           std::uint32_t qualifierSize, const void* qualifier,
                                           std::uint32_t& ioSize, void* outData) {
  const AudioModel& audio = world_.audio;
  std::uint32_t selector = address.mSelector;
  json::Object args{{"object", object}, {"selector", codeText(selector)}, {"size", ioSize}};
  OSStatus status = platform::kNoErr;
  const AudioFault* fault = findFault(audio, "AudioObjectGetPropertyData", object, selector);
  const SimProcess* process = findProcess(object);
  if (fault && fault->status) {
    status = *fault->status;
  } else if (object == platform::kAudioObjectSystemObject &&
             selector == platform::kAudioHardwarePropertyProcessObjectList) {
    std::size_t count = std::min<std::size_t>(ioSize / 4, audio.processes.size());
    if (fault && fault->entriesWritten)
      count = std::min<std::size_t>(count, *fault->entriesWritten);
    auto* entries = static_cast<AudioObjectID*>(outData);
    for (std::size_t i = 0; i < count; ++i) entries[i] = audio.processes[i].id;
    ioSize = static_cast<std::uint32_t>(4 * count);
  } else if (object == platform::kAudioObjectSystemObject &&
             selector == platform::kAudioHardwarePropertyTranslatePIDToProcessObject) {
    if (qualifierSize != 4 || qualifier == nullptr || ioSize < 4) {
      status = kBadPropertySizeError;
    } else {
      pid_t pid;
      std::memcpy(&pid, qualifier, 4);
      args.emplace_back("pid", pid);
      AudioObjectID found = platform::kAudioObjectUnknown;
      for (const SimProcess& p : audio.processes) {
        if (p.pid == pid) {
          found = p.id;
          break;
        }
      }
      putValue(outData, ioSize, &found, 4);
    }
  } else if (process && selector == platform::kAudioProcessPropertyPID) {
    status = ioSize < 4 ? kBadPropertySizeError : (putValue(outData, ioSize, &process->pid, 4), 0);
  } else if (process && selector == platform::kAudioProcessPropertyIsRunningOutput) {
    std::uint32_t flag = process->runningOutput ? 1 : 0;
    status = ioSize < 4 ? kBadPropertySizeError : (putValue(outData, ioSize, &flag, 4), 0);
  } else if (process || findTap(audio, object) || object == platform::kAudioObjectSystemObject) {
    status = kUnknownPropertyError;
  } else {
    status = platform::kAudioHardwareBadObjectError;
  }
  world_.log.record("AudioObjectGetPropertyData", std::move(args), status);
  return status;
}

OSStatus SimAudioHardware::getStringPropertyData(
    AudioObjectID object, const platform::AudioObjectPropertyAddress& address,
    std::string& outText) {
  const AudioModel& audio = world_.audio;
  std::uint32_t selector = address.mSelector;
  OSStatus status = platform::kNoErr;
  const AudioFault* fault = findFault(audio, "AudioObjectGetPropertyData", object, selector);
  const SimProcess* process = findProcess(object);
  const SimTap* tap = findTap(audio, object);
  if (fault && fault->status) {
    status = *fault->status;
  } else if (process && selector == platform::kAudioProcessPropertyBundleID) {
    outText = process->bundleId.value_or("");
  } else if (tap && selector == platform::kAudioTapPropertyUID) {
    outText = tap->uid;
  } else if (process || tap || object == platform::kAudioObjectSystemObject) {
    status = kUnknownPropertyError;
  } else {
    status = platform::kAudioHardwareBadObjectError;
  }
  world_.log.record("AudioObjectGetPropertyData",
                    json::Object{{"object", object},
                                 {"selector", codeText(selector)},
                                 {"size", 8},
                                 {"text", status == 0 ? json::Value(outText) : json::Value()}},
                    status);
  return status;
}

// --- The tap chain ---

OSStatus SimAudioHardware::createProcessTap(const platform::TapDescription& description,
                                            AudioObjectID& outTap) {
  AudioModel& audio = world_.audio;
  PrivacyModel& privacy = world_.privacy;
  bool undecided = privacy.preflight != 0 && privacy.preflight != 1;
  if (undecided && privacy.afterPrompt) privacy.preflight = *privacy.afterPrompt;

  OSStatus status = platform::kNoErr;
  bool mixdown = description.initializer == platform::TapInitializer::kStereoMixdownOfProcesses;
  if (const AudioFault* fault = findFault(audio, "AudioHardwareCreateProcessTap", 0);
      fault && fault->status) {
    status = *fault->status;
  } else if (privacy.preflight != 0) {
    status = platform::kAudioDevicePermissionsError;
  } else if (mixdown && std::any_of(description.processes.begin(), description.processes.end(),
                                    [&](AudioObjectID id) { return !findProcess(id); })) {
    status = platform::kAudioHardwareBadObjectError;
  } else {
    AudioObjectID id = audio.nextObjectID++;
    audio.taps.push_back({id, "SIM-TAP-" + std::to_string(id), description});
    outTap = id;
  }
  json::Object args{
      {"initializer", mixdown ? "stereoMixdownOfProcesses" : "stereoGlobalTapButExcludeProcesses"},
      {"processes", idList(description.processes)},
      {"name", description.name},
      {"private", description.isPrivate},
      {"muteBehavior", static_cast<int>(description.muteBehavior)},
      {"tap", status == 0 ? json::Value(outTap) : json::Value()},
      {"silenced", idList(silencedProcesses(audio))}};
  world_.log.record("AudioHardwareCreateProcessTap", std::move(args), status);
  return status;
}

OSStatus SimAudioHardware::destroyProcessTap(AudioObjectID tap) {
  AudioModel& audio = world_.audio;
  OSStatus status = platform::kNoErr;
  auto it = std::find_if(audio.taps.begin(), audio.taps.end(),
                         [&](const SimTap& t) { return t.id == tap; });
  if (const AudioFault* fault = findFault(audio, "AudioHardwareDestroyProcessTap", tap);
      fault && fault->status) {
    status = *fault->status;
  } else if (it == audio.taps.end()) {
    status = platform::kAudioHardwareBadObjectError;
  } else {
    audio.taps.erase(it);
  }
  world_.log.record("AudioHardwareDestroyProcessTap",
                    json::Object{{"tap", tap}, {"silenced", idList(silencedProcesses(audio))}},
                    status);
  return status;
}

OSStatus SimAudioHardware::createAggregateDevice(
    const platform::AggregateDeviceDescription& description, AudioObjectID& outDevice) {
  AudioModel& audio = world_.audio;
  OSStatus status = platform::kNoErr;
  bool uidTaken = std::any_of(
      audio.devices.begin(), audio.devices.end(),
      [&](const SimAggregateDevice& d) { return d.description.uid == description.uid; });
  if (const AudioFault* fault = findFault(audio, "AudioHardwareCreateAggregateDevice", 0);
      fault && fault->status) {
    status = *fault->status;
  } else if (uidTaken) {
    status = platform::kAudioHardwareIllegalOperationError;
  } else {
    AudioObjectID id = audio.nextObjectID++;
    audio.devices.push_back({id, description});
    outDevice = id;
  }
  json::Array taps;
  for (const platform::SubTapDescription& sub : description.taps) {
    taps.emplace_back(json::Object{{"uid", sub.uid}, {"drift", sub.driftCompensation}});
  }
  world_.log.record("AudioHardwareCreateAggregateDevice",
                    json::Object{{"name", description.name},
                                 {"uid", description.uid},
                                 {"taps", std::move(taps)},
                                 {"tapautostart", description.tapAutoStart},
                                 {"private", description.isPrivate},
                                 {"device", status == 0 ? json::Value(outDevice) : json::Value()}},
                    status);
  return status;
}

OSStatus SimAudioHardware::destroyAggregateDevice(AudioObjectID device) {
  AudioModel& audio = world_.audio;
  OSStatus status = platform::kNoErr;
  auto it = std::find_if(audio.devices.begin(), audio.devices.end(),
                         [&](const SimAggregateDevice& d) { return d.id == device; });
  if (const AudioFault* fault = findFault(audio, "AudioHardwareDestroyAggregateDevice", device);
      fault && fault->status) {
    status = *fault->status;
  } else if (it == audio.devices.end()) {
    status = platform::kAudioHardwareBadObjectError;
  } else {
    audio.devices.erase(it);
    // IO procedures registered on a device go with it.
    std::erase_if(audio.ioProcs, [&](const SimIOProc& p) { return p.device == device; });
  }
  world_.log.record(
      "AudioHardwareDestroyAggregateDevice",
      json::Object{{"device", device}, {"silenced", idList(silencedProcesses(audio))}}, status);
  return status;
}

OSStatus SimAudioHardware::createIOProcID(AudioObjectID device, platform::AudioDeviceIOProc proc,
                                          void* clientData, platform::AudioDeviceIOProcID& outID) {
  AudioModel& audio = world_.audio;
  OSStatus status = platform::kNoErr;
  bool known = std::any_of(audio.devices.begin(), audio.devices.end(),
                           [&](const SimAggregateDevice& d) { return d.id == device; });
  if (const AudioFault* fault = findFault(audio, "AudioDeviceCreateIOProcID", device);
      fault && fault->status) {
    status = *fault->status;
  } else if (!known) {
    status = kBadDeviceError;
  } else if (proc == nullptr) {
    status = platform::kAudioHardwareIllegalOperationError;
  } else {
    outID = platform::AudioDeviceIOProcID{audio.nextIOProcID++};
    audio.ioProcs.push_back({outID, device, proc, false});
  }
  world_.log.record(
      "AudioDeviceCreateIOProcID",
      json::Object{
          {"device", device},
          {"clientData", clientData == nullptr ? json::Value() : json::Value("non-null")},
          {"ioProc", status == 0 ? json::Value(static_cast<std::int64_t>(outID)) : json::Value()}},
      status);
  return status;
}

namespace {

SimIOProc* findIOProc(AudioModel& audio, AudioObjectID device, platform::AudioDeviceIOProcID id) {
  for (SimIOProc& proc : audio.ioProcs) {
    if (proc.device == device && proc.id == id) return &proc;
  }
  return nullptr;
}

}  // namespace

OSStatus SimAudioHardware::destroyIOProcID(AudioObjectID device,
                                           platform::AudioDeviceIOProcID procID) {
  AudioModel& audio = world_.audio;
  OSStatus status = platform::kNoErr;
  if (const AudioFault* fault = findFault(audio, "AudioDeviceDestroyIOProcID", device);
      fault && fault->status) {
    status = *fault->status;
  } else if (!findIOProc(audio, device, procID)) {
    status = kBadDeviceError;
  } else {
    std::erase_if(audio.ioProcs,
                  [&](const SimIOProc& p) { return p.device == device && p.id == procID; });
  }
  world_.log.record("AudioDeviceDestroyIOProcID",
                    json::Object{{"device", device},
                                 {"ioProc", static_cast<std::int64_t>(procID)},
                                 {"silenced", idList(silencedProcesses(audio))}},
                    status);
  return status;
}

OSStatus SimAudioHardware::deviceStart(AudioObjectID device, platform::AudioDeviceIOProcID procID) {
  AudioModel& audio = world_.audio;
  OSStatus status = platform::kNoErr;
  json::Value ioProcResult;
  SimIOProc* proc = findIOProc(audio, device, procID);
  if (const AudioFault* fault = findFault(audio, "AudioDeviceStart", device);
      fault && fault->status) {
    status = *fault->status;
  } else if (!proc) {
    status = kBadDeviceError;
  } else {
    proc->running = true;
    // The audio system calls the IO procedure as soon as the device runs; the tool's procedure
    // must return 0 without touching its arguments, which are all null here.
    ioProcResult = proc->proc(device, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
  }
  world_.log.record("AudioDeviceStart",
                    json::Object{{"device", device},
                                 {"ioProc", static_cast<std::int64_t>(procID)},
                                 {"ioProcResult", ioProcResult},
                                 {"silenced", idList(silencedProcesses(audio))}},
                    status);
  return status;
}

OSStatus SimAudioHardware::deviceStop(AudioObjectID device, platform::AudioDeviceIOProcID procID) {
  AudioModel& audio = world_.audio;
  OSStatus status = platform::kNoErr;
  SimIOProc* proc = findIOProc(audio, device, procID);
  if (const AudioFault* fault = findFault(audio, "AudioDeviceStop", device);
      fault && fault->status) {
    status = *fault->status;
  } else if (!proc) {
    status = kBadDeviceError;
  } else {
    proc->running = false;
  }
  world_.log.record("AudioDeviceStop",
                    json::Object{{"device", device},
                                 {"ioProc", static_cast<std::int64_t>(procID)},
                                 {"silenced", idList(silencedProcesses(audio))}},
                    status);
  return status;
}

// --- The privacy framework ---

platform::CapturePrivacy::Handle SimCapturePrivacy::openFramework(const std::string& path,
                                                                  int mode) {
  Handle handle = world_.privacy.frameworkPresent ? &frameworkToken : nullptr;
  world_.log.record("dlopen", json::Object{{"path", path}, {"mode", mode}},
                    handle ? json::Value("handle") : json::Value());
  return handle;
}

platform::CapturePrivacy::EntryPoint SimCapturePrivacy::findEntryPoint(Handle framework,
                                                                       const std::string& name) {
  EntryPoint entry =
      framework == &frameworkToken && world_.privacy.entryPointPresent ? &entryPointToken : nullptr;
  world_.log.record("dlsym", json::Object{{"symbol", name}},
                    entry ? json::Value("entry point") : json::Value());
  return entry;
}

std::intptr_t SimCapturePrivacy::callPreflight(EntryPoint entryPoint, const std::string& service) {
  std::intptr_t result = entryPoint == &entryPointToken ? world_.privacy.preflight : -1;
  world_.log.record("TCCAccessPreflight", json::Object{{"service", service}},
                    static_cast<std::int64_t>(result));
  return result;
}

}  // namespace velmuro::sim
