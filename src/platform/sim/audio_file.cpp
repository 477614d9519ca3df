#include "platform/sim/audio_file.h"

#include <unistd.h>

#include <algorithm>
#include <string_view>
#include <unordered_set>

namespace velmuro::sim {

using platform::AudioObjectID;
using platform::fourCharCode;
using platform::OSStatus;

namespace {

// The audio calls the tool makes, and the selectors it reads with the two property calls.
constexpr std::string_view kSizeCall = "AudioObjectGetPropertyDataSize";
constexpr std::string_view kDataCall = "AudioObjectGetPropertyData";
constexpr std::string_view kCalls[] = {kSizeCall,
                                       kDataCall,
                                       "AudioHardwareCreateProcessTap",
                                       "AudioHardwareDestroyProcessTap",
                                       "AudioHardwareCreateAggregateDevice",
                                       "AudioHardwareDestroyAggregateDevice",
                                       "AudioDeviceCreateIOProcID",
                                       "AudioDeviceDestroyIOProcID",
                                       "AudioDeviceStart",
                                       "AudioDeviceStop"};
constexpr std::uint32_t kSelectors[] = {platform::kAudioHardwarePropertyProcessObjectList,
                                        platform::kAudioHardwarePropertyTranslatePIDToProcessObject,
                                        platform::kAudioProcessPropertyPID,
                                        platform::kAudioProcessPropertyBundleID,
                                        platform::kAudioProcessPropertyIsRunningOutput,
                                        platform::kAudioTapPropertyUID};

bool failWith(std::string* error, std::string message) {
  if (error) *error = std::move(message);
  return false;
}

bool checkKeys(const json::Value& object, std::initializer_list<std::string_view> allowed,
               const std::string& where, std::string* error) {
  if (!object.isObject()) return failWith(error, where + " must be an object");
  for (const auto& [key, value] : object.asObject()) {
    if (std::find(allowed.begin(), allowed.end(), key) == allowed.end()) {
      return failWith(error, where + ": unknown member \"" + key + "\"");
    }
  }
  return true;
}

// A 32-bit code written as a number or as four characters.
std::optional<std::uint32_t> readCode(const json::Value& value) {
  if (value.isString() && value.asString().size() == 4) {
    const std::string& s = value.asString();
    char code[5] = {s[0], s[1], s[2], s[3], 0};
    return fourCharCode(code);
  }
  if (value.isNumber()) {
    double d = value.asNumber();
    if (d >= -2147483648.0 && d <= 4294967295.0 &&
        d == static_cast<double>(static_cast<std::int64_t>(d))) {
      return static_cast<std::uint32_t>(static_cast<std::int64_t>(d));
    }
  }
  return std::nullopt;
}

std::optional<std::int64_t> readInteger(const json::Value& value, double low, double high) {
  if (!value.isNumber()) return std::nullopt;
  double d = value.asNumber();
  if (d < low || d > high || d != static_cast<double>(static_cast<std::int64_t>(d))) {
    return std::nullopt;
  }
  return static_cast<std::int64_t>(d);
}

bool loadProcess(const json::Value& entry, AudioModel& audio,
                 std::unordered_set<AudioObjectID>& ids, std::string* error) {
  std::string where = "audio.processes[" + std::to_string(audio.processes.size()) + "]";
  if (!checkKeys(entry, {"id", "pid", "bundleId", "output"}, where, error)) return false;
  SimProcess process;
  const json::Value* id = entry.find("id");
  std::optional<std::int64_t> idValue = id ? readInteger(*id, 2, 4294967295.0) : std::nullopt;
  if (!idValue) return failWith(error, where + ".id must be an object ID above 1");
  process.id = static_cast<AudioObjectID>(*idValue);
  if (!ids.insert(process.id).second) return failWith(error, where + ".id is used twice");
  if (const json::Value* pid = entry.find("pid")) {
    if (pid->isString() && pid->asString() == "self") {
      process.pid = ::getpid();
    } else if (auto value = readInteger(*pid, -2147483648.0, 2147483647.0)) {
      process.pid = static_cast<pid_t>(*value);
    } else {
      return failWith(error, where + ".pid must be a 32-bit integer or \"self\"");
    }
  }
  if (const json::Value* bundle = entry.find("bundleId"); bundle && !bundle->isNull()) {
    if (!bundle->isString()) return failWith(error, where + ".bundleId must be a string or null");
    process.bundleId = bundle->asString();
  }
  if (const json::Value* output = entry.find("output")) {
    if (!output->isBool()) return failWith(error, where + ".output must be true or false");
    process.runningOutput = output->asBool();
  }
  audio.processes.push_back(std::move(process));
  return true;
}

bool loadFault(const json::Value& entry, AudioModel& audio, std::string* error) {
  std::string where = "audio.faults[" + std::to_string(audio.faults.size()) + "]";
  if (!checkKeys(entry, {"call", "selector", "object", "status", "size", "entriesWritten"}, where,
                 error)) {
    return false;
  }
  AudioFault fault;
  const json::Value* call = entry.find("call");
  if (!call || !call->isString()) return failWith(error, where + ".call must name a call");
  fault.call = call->asString();
  if (const json::Value* selector = entry.find("selector")) {
    fault.selector = readCode(*selector);
    if (!fault.selector) return failWith(error, where + ".selector must be a four-character code");
  }
  if (const json::Value* object = entry.find("object")) {
    auto value = readInteger(*object, 0, 4294967295.0);
    if (!value) return failWith(error, where + ".object must be an object ID");
    fault.object = static_cast<AudioObjectID>(*value);
  }
  if (const json::Value* status = entry.find("status")) {
    auto code = readCode(*status);
    if (!code) return failWith(error, where + ".status must be a 32-bit status or four characters");
    fault.status = static_cast<OSStatus>(*code);
  }
  if (const json::Value* size = entry.find("size")) {
    auto value = readInteger(*size, 0, 4294967295.0);
    if (!value) return failWith(error, where + ".size must be a byte count");
    fault.size = static_cast<std::uint32_t>(*value);
  }
  if (const json::Value* written = entry.find("entriesWritten")) {
    auto value = readInteger(*written, 0, 4294967295.0);
    if (!value) return failWith(error, where + ".entriesWritten must be a count");
    fault.entriesWritten = static_cast<std::uint32_t>(*value);
  }
  // A fault that could never fire is a mistake in the world, not a fault.
  if (std::find(std::begin(kCalls), std::end(kCalls), fault.call) == std::end(kCalls)) {
    std::string calls;
    for (std::string_view name : kCalls) calls += (calls.empty() ? "" : ", ") + std::string(name);
    return failWith(error, where + ".call: \"" + fault.call + "\" is not a call the tool makes (" +
                               calls + ")");
  }
  bool propertyCall = fault.call == kSizeCall || fault.call == kDataCall;
  if (fault.selector && !propertyCall) {
    return failWith(error, where + ".selector: only " + std::string(kSizeCall) + " and " +
                               std::string(kDataCall) + " take a selector");
  }
  if (fault.selector && std::find(std::begin(kSelectors), std::end(kSelectors), *fault.selector) ==
                            std::end(kSelectors)) {
    return failWith(error, where +
                               ".selector: not a selector the tool reads (\"prs#\", \"id2p\", "
                               "\"ppid\", \"pbid\", \"piro\", \"tuid\")");
  }
  if (fault.size && fault.call != kSizeCall) {
    return failWith(error, where + ".size: only " + std::string(kSizeCall) + " reports a size");
  }
  if (fault.entriesWritten &&
      (fault.call != kDataCall ||
       (fault.selector && *fault.selector != platform::kAudioHardwarePropertyProcessObjectList))) {
    return failWith(error, where + ".entriesWritten: only the process-list read (" +
                               std::string(kDataCall) + ", \"prs#\") writes entries");
  }
  if (!fault.status && !fault.size && !fault.entriesWritten) {
    return failWith(error, where + ": give \"status\", \"size\" or \"entriesWritten\"");
  }
  audio.faults.push_back(std::move(fault));
  return true;
}

bool loadPrivacy(const json::Value& section, PrivacyModel& privacy, std::string* error) {
  if (!checkKeys(section, {"framework", "entryPoint", "preflight", "afterPrompt"}, "privacy",
                 error)) {
    return false;
  }
  auto readFlag = [&](const char* key, bool& into) {
    const json::Value* value = section.find(key);
    if (!value) return true;
    if (!value->isBool())
      return failWith(error, std::string("privacy.") + key + " must be true or false");
    into = value->asBool();
    return true;
  };
  auto readResult = [&](const char* key, auto& into) {
    const json::Value* value = section.find(key);
    if (!value) return true;
    auto number = readInteger(*value, -9.0e15, 9.0e15);
    if (!number) return failWith(error, std::string("privacy.") + key + " must be an integer");
    into = static_cast<std::intptr_t>(*number);
    return true;
  };
  return readFlag("framework", privacy.frameworkPresent) &&
         readFlag("entryPoint", privacy.entryPointPresent) &&
         readResult("preflight", privacy.preflight) &&
         readResult("afterPrompt", privacy.afterPrompt);
}

}  // namespace

bool loadAudio(const json::Value& root, AudioModel& audio, PrivacyModel& privacy,
               std::string* error) {
  if (const json::Value* section = root.find("audio")) {
    if (!checkKeys(*section, {"processes", "faults"}, "audio", error)) return false;
    if (const json::Value* processes = section->find("processes")) {
      if (!processes->isArray()) return failWith(error, "audio.processes must be an array");
      std::unordered_set<AudioObjectID> ids;
      audio.processes.reserve(processes->asArray().size());
      for (const json::Value& entry : processes->asArray()) {
        if (!loadProcess(entry, audio, ids, error)) return false;
      }
    }
    if (const json::Value* faults = section->find("faults")) {
      if (!faults->isArray()) return failWith(error, "audio.faults must be an array");
      for (const json::Value& entry : faults->asArray()) {
        if (!loadFault(entry, audio, error)) return false;
      }
    }
  }
  if (const json::Value* section = root.find("privacy")) {
    if (!loadPrivacy(*section, privacy, error)) return false;
  }
  return true;
}

json::Value audioState(const AudioModel& audio) {
  json::Array taps;
  for (const SimTap& tap : audio.taps) {
    taps.emplace_back(
        json::Object{{"id", tap.id}, {"uid", tap.uid}, {"name", tap.description.name}});
  }
  json::Array devices;
  for (const SimAggregateDevice& device : audio.devices) {
    devices.emplace_back(json::Object{{"id", device.id}, {"uid", device.description.uid}});
  }
  json::Array procs;
  for (const SimIOProc& proc : audio.ioProcs) {
    procs.emplace_back(json::Object{{"device", proc.device}, {"running", proc.running}});
  }
  return json::Object{{"taps", std::move(taps)},
                      {"aggregateDevices", std::move(devices)},
                      {"ioProcs", std::move(procs)},
                      {"silenced", idList(silencedProcesses(audio))}};
}

}  // namespace velmuro::sim
