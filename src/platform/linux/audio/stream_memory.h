#pragma once

#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <string>

#include "platform/linux/audio/server_connection.h"

namespace velmuro::linux_desktop {

// The sound server's memory of stream mutes (PulseAudio's module-stream-restore, WirePlumber's
// restore-stream through pipewire-pulse), which copies a mute onto the next stream remembered
// under the same name. Used with the connection's loop locked.
class StreamMemory {
 public:
  // Receives one remembered entry, then null once the list is complete or could not be read.
  using EntryHandler = std::function<void(const pa_ext_stream_restore_info* entry)>;

  explicit StreamMemory(ServerConnection& connection) : connection_(connection) {}

  // Reads every remembered entry; the request is tracked on the connection.
  void read(EntryHandler handler);
  // Sets the remembered mute of each name, leaving the rest of what is remembered as it is and
  // applying nothing to streams that exist; waits up to the timeout for it to be done.
  // PulseAudio keeps whole entries, so each is read and written back with only its mute
  // changed, and done is the server's answer. pipewire-pulse neither lists what WirePlumber
  // remembers nor needs that, as it passes a mute written alone on as it is; but it answers a
  // write before passing it on (a write the client's disconnection overtakes is lost), so each
  // write is read back until it shows, and written again when it does not.
  ServerConnection::Wait putMutes(const std::map<std::string, bool>& mutes, bool pipewire,
                                  ServerConnection::Milliseconds timeout);
  // Drops the handlers of reads that the lost connection will never answer.
  void forget() { readers_.clear(); }

 private:
  static void onEntry(pa_context* context, const pa_ext_stream_restore_info* entry, int eol,
                      void* self);
  static void onWritten(pa_context* context, int success, void* self);
  void write(const pa_ext_stream_restore_info& entry);
  void writeEach(const std::map<std::string, bool>& mutes);
  // Reads every name's mute; kDone once the list is complete.
  ServerConnection::Wait readMutes(std::map<std::string, bool>& listed,
                                   std::chrono::steady_clock::time_point deadline);
  // Writes each mute alone, then reads them back until all show; kTimedOut when they don't
  // within a quarter of a second, or by the deadline.
  ServerConnection::Wait writeAndReadBack(const std::map<std::string, bool>& mutes,
                                          std::chrono::steady_clock::time_point deadline);
  ServerConnection::Wait putPipeWireMutes(const std::map<std::string, bool>& mutes,
                                          std::chrono::steady_clock::time_point deadline);

  ServerConnection& connection_;
  // One handler per read in flight; the server answers them in order.
  std::deque<EntryHandler> readers_;
};

}  // namespace velmuro::linux_desktop
