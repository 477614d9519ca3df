#pragma once

#include <functional>
#include <string>

#include "platform/linux/audio/pulse_library.h"

namespace velmuro::linux_desktop {

// A process that gives the streams back when the tool ends without doing so itself: it learns
// each stream before the tool mutes it (GuardianLedger's records) and, when its connection to the
// tool closes while it still holds any (SIGKILL, a signal's _exit, a crash, a kill of the tool's
// process group), connects to the sound server itself, unmutes them and puts the server's memory
// back, then exits. A SIGTERM, SIGINT, SIGHUP or SIGQUIT sent to it (pkill of the tool's name
// reaches both) ends it the same way, never before the restore. It runs in a session of its own
// and holds no descriptor of the tool but that connection.
class MuteGuardian {
 public:
  MuteGuardian() = default;
  ~MuteGuardian();
  MuteGuardian(const MuteGuardian&) = delete;
  MuteGuardian& operator=(const MuteGuardian&) = delete;

  // Forks the guardian; false when it could not be started. The guardian is a copy of this
  // process, so this must come before libpulse starts any thread here.
  bool start(const PulseLibrary& pulse);
  // Calls gone on the loop behind this interface once the guardian has ended or is ending, after
  // which the tool can no longer mute safely. Called before the loop runs.
  void watch(pa_mainloop_api* api, std::function<void()> gone);
  // True while the guardian runs and watches the tool.
  bool running() const { return socket_ >= 0 && !gone_; }
  // Sends one record; a guardian that has gone is not an error.
  void send(const std::string& record);

 private:
  static void onReadable(pa_mainloop_api* api, pa_io_event* event, int fd, pa_io_event_flags_t,
                         void* self);

  int socket_ = -1;
  bool gone_ = false;
  std::function<void()> goneHandler_;
};

}  // namespace velmuro::linux_desktop
