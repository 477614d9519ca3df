#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>

#include "platform/linux/audio/pulse_library.h"

namespace velmuro::linux_desktop {

// What the guardian has been told: the streams the tool holds muted (with the PID of the process
// that owns each) and the remembered mutes the tool changed, with the value each had before.
struct GuardianLedger {
  std::map<std::uint32_t, pid_t> streams;
  std::map<std::string, bool> memory;

  // True when there is nothing to give back.
  bool empty() const { return streams.empty() && memory.empty(); }
  // Applies one record (a line without its line feed); false when it is no record.
  bool apply(const std::string& record);
};

// The records the tool sends, one line each.
std::string streamHeldRecord(std::uint32_t stream, pid_t pid);
std::string streamGivenBackRecord(std::uint32_t stream);
std::string memoryChangedRecord(const std::string& name, bool mutedBefore);
std::string memoryRestoredRecord(const std::string& name);

// A process that gives the streams back when the tool ends without doing so itself: it learns
// each stream before the tool mutes it and, when its connection to the tool closes while it still
// holds any (SIGKILL, a signal's _exit, a crash, a kill of the tool's process group), connects
// to the sound server itself, unmutes them and puts the server's memory back, then exits. It
// runs in a session of its own and holds no descriptor of the tool but that connection.
class MuteGuardian {
 public:
  MuteGuardian() = default;
  ~MuteGuardian();
  MuteGuardian(const MuteGuardian&) = delete;
  MuteGuardian& operator=(const MuteGuardian&) = delete;

  // Forks the guardian; false when it could not be started. The guardian is a copy of this
  // process, so this must come before libpulse starts any thread here.
  bool start(const PulseLibrary& pulse);
  // True once the guardian runs.
  bool started() const { return socket_ >= 0; }
  // Sends one record; a guardian that has gone is not an error.
  void send(const std::string& record);

 private:
  int socket_ = -1;
};

}  // namespace velmuro::linux_desktop
