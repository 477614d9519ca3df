#include "frontend/dispatcher.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <unordered_set>

#include "accessibility/tab_addresses.h"
#include "accessibility/teams_join_link.h"
#include "accessibility/zoom_invite_link.h"
#include "discovery/audio_objects.h"
#include "discovery/decimal_pid.h"
#include "discovery/process_table.h"
#include "discovery/target_resolution.h"
#include "output/json_message.h"
#include "tap/capture_permission.h"
#include "tap/permission_probe.h"
#include "tap/tap_chain.h"

namespace velmuro::frontend {

using output::errorMessage;
using output::printJSON;
using output::statusMessage;

namespace {

constexpr const char* kNotFoundSuffix =
    " audio process not found. Make sure it is running and playing audio.";
constexpr const char* kNoProcessTree = "Could not resolve own process tree for system mute";

void endAtOnce(int) { _exit(0); }

std::string joinTargets(const std::vector<std::string>& targets) {
  std::string joined;
  for (std::size_t i = 0; i < targets.size(); ++i) {
    if (i > 0) joined += ", ";
    joined += targets[i];
  }
  return joined;
}

// "muted", the hold, the teardown and "unmuted".
int holdMute(platform::AudioHardware& audio, int input) {
  printJSON(statusMessage("muted"));
  waitForRelease(input);
  tap::destroyTap(audio);
  printJSON(statusMessage("unmuted"));
  return 0;
}

int processMute(const std::vector<std::string>& arguments, const platform::Platform& platform,
                int input) {
  MuteTargets mute = splitExplicitPID({arguments.begin() + 1, arguments.end()});
  std::vector<platform::AudioObjectID> objects = discovery::findAudioProcessObjects(
      platform.audio, platform.children, mute.targets, mute.explicitPID);
  if (objects.empty()) {
    printJSON(errorMessage(joinTargets(mute.targets) + kNotFoundSuffix));
    return 1;
  }
  if (!tap::createTap(platform.audio, platform.privacy, objects)) return 1;
  return holdMute(platform.audio, input);
}

int systemMute(const std::vector<std::string>& arguments, const platform::Platform& platform,
               int input) {
  std::unordered_set<pid_t> tree;
  if (arguments.size() > 2) {
    if (std::optional<pid_t> root = discovery::parseDecimalPID(arguments[2])) {
      tree = discovery::descendantPIDs(platform.children, *root);
    }
  }
  if (tree.empty()) {
    printJSON(errorMessage(kNoProcessTree));
    return 1;
  }
  std::vector<platform::AudioObjectID> excluded;
  for (platform::AudioObjectID object : discovery::getProcessObjectList(platform.audio)) {
    std::optional<pid_t> pid = discovery::processPID(platform.audio, object);
    if (pid && tree.count(*pid) > 0) excluded.push_back(object);
  }
  if (!tap::createGlobalTap(platform.audio, platform.privacy, excluded)) return 1;
  return holdMute(platform.audio, input);
}

}  // namespace

MuteTargets splitExplicitPID(std::vector<std::string> targets) {
  MuteTargets mute;
  if (targets.size() >= 2) mute.explicitPID = discovery::parseDecimalPID(targets.back());
  if (mute.explicitPID) targets.pop_back();
  mute.targets = std::move(targets);
  return mute;
}

int reportUsage() {
  printJSON(errorMessage(kUsageError));
  return 1;
}

void setupSignalHandler() {
  std::signal(SIGTERM, endAtOnce);
  std::signal(SIGINT, endAtOnce);
  // A host may hand down a mask that blocks them; the handlers must be able to run.
  sigset_t endSignals;
  sigemptyset(&endSignals);
  sigaddset(&endSignals, SIGTERM);
  sigaddset(&endSignals, SIGINT);
  sigprocmask(SIG_UNBLOCK, &endSignals, nullptr);
  // A host that has gone away makes a write fail; it must not end the tool with the mute in place.
  std::signal(SIGPIPE, SIG_IGN);
}

namespace {

enum class ReadResult { kByte, kEnd };

// Reads one byte; a non-blocking input without data is waited on, an interrupted read is made
// again, and only end of input or a real read error count as the end.
ReadResult readByte(int fd, char& byte) {
  while (true) {
    ssize_t n = ::read(fd, &byte, 1);
    if (n == 1) return ReadResult::kByte;
    if (n == 0) return ReadResult::kEnd;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      pollfd ready{fd, POLLIN, 0};
      if (::poll(&ready, 1, -1) < 0 && errno != EINTR) return ReadResult::kEnd;
    } else if (errno != EINTR) {
      return ReadResult::kEnd;
    }
  }
}

}  // namespace

void waitForRelease(int input) {
  // One byte at a time, so that nothing after the releasing character is taken from the host.
  char c = 0;
  while (readByte(input, c) == ReadResult::kByte) {
    if (c == '\n') continue;
    // A carriage return ends an empty line only when a line feed follows it.
    if (c == '\r') {
      char next = 0;
      if (readByte(input, next) == ReadResult::kByte && next == '\n') continue;
    }
    return;
  }
}

int dispatch(const std::vector<std::string>& arguments, const platform::Platform& platform,
             int input) {
  if (arguments.size() < 2) return reportUsage();
  const std::string& command = arguments[1];
  if (command == "check-audio-permission") {
    printJSON(statusMessage(tap::audioCapturePermissionStatus(platform.privacy)));
    return 0;
  }
  if (command == "request-audio-permission") {
    printJSON(statusMessage(tap::requestAudioCapturePermission(platform.audio, platform.privacy)));
    return 0;
  }
  // The reader commands.
  if (command == "ax-tab-addresses" && arguments.size() >= 3) {
    printJSON(accessibility::readTabAddresses(platform, arguments[2]));
    return 0;
  }
  if (command == "ax-zoom-invite-link") {
    std::vector<std::string> needles(arguments.begin() + 2, arguments.end());
    printJSON(accessibility::copyZoomInviteLink(platform, needles));
    return 0;
  }
  if (command == "ax-teams-join-link") {
    printJSON(accessibility::readTeamsJoinLink(platform));
    return 0;
  }
  if (command == "--system") return systemMute(arguments, platform, input);
  return processMute(arguments, platform, input);
}

}  // namespace velmuro::frontend
