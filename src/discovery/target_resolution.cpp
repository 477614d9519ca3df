#include "discovery/target_resolution.h"

#include <set>
#include <unordered_set>

#include "discovery/audio_objects.h"
#include "discovery/process_table.h"

namespace velmuro::discovery {

using platform::AudioObjectID;

namespace {

bool bundleMatches(const std::string& bundleId, const std::set<std::string>& bundleTargets) {
  for (const std::string& target : bundleTargets) {
    if (bundleId == target) return true;
    if (bundleId.size() > target.size() && bundleId.compare(0, target.size(), target) == 0 &&
        bundleId[target.size()] == '.') {
      return true;
    }
  }
  return false;
}

}  // namespace

std::vector<AudioObjectID> findAudioProcessObjects(platform::AudioHardware& audio,
                                                   platform::ChildProcesses& children,
                                                   const std::vector<std::string>& targets,
                                                   std::optional<pid_t> explicitPID) {
  if (explicitPID) {
    std::optional<AudioObjectID> object = resolveAudioObjectID(audio, *explicitPID);
    if (!object) return {};
    return {*object};
  }

  std::set<std::string> bundleTargets;
  for (const std::string& target : targets) {
    if (target.find('.') != std::string::npos) bundleTargets.insert(target);
  }
  std::unordered_set<pid_t> pids;
  for (const std::string& target : targets) {
    for (pid_t pid : findProcessPIDs(children, target)) pids.insert(pid);
  }

  std::vector<AudioObjectID> matched;
  for (AudioObjectID object : getProcessObjectList(audio)) {
    std::optional<pid_t> pid = processPID(audio, object);
    bool matches = pid && pids.count(*pid) > 0;
    if (!matches) {
      std::optional<std::string> bundleId = processBundleID(audio, object);
      matches = bundleId && bundleMatches(*bundleId, bundleTargets);
    }
    if (matches) matched.push_back(object);
  }

  std::vector<AudioObjectID> playing;
  for (AudioObjectID object : matched) {
    if (processIsRunningOutput(audio, object)) playing.push_back(object);
  }
  return playing.empty() ? matched : playing;
}

}  // namespace velmuro::discovery
