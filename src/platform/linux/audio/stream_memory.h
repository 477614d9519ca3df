#pragma once

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
  // applying nothing to streams that exist. PulseAudio keeps whole entries, so each is read and
  // written back with only its mute changed; pipewire-pulse neither lists what WirePlumber
  // remembers nor needs that, as it passes a mute written alone on as it is (written twice, the
  // other value first, so that WirePlumber sees a change).
  void writeMutes(const std::map<std::string, bool>& mutes, bool pipewire);
  // Writes each mute alone, once, as pipewire-pulse takes it.
  void writeEach(const std::map<std::string, bool>& mutes);
  // Drops the handlers of reads that the lost connection will never answer.
  void forget() { readers_.clear(); }

 private:
  static void onEntry(pa_context* context, const pa_ext_stream_restore_info* entry, int eol,
                      void* self);
  static void onWritten(pa_context* context, int success, void* self);
  void write(const pa_ext_stream_restore_info& entry);

  ServerConnection& connection_;
  // One handler per read in flight; the server answers them in order.
  std::deque<EntryHandler> readers_;
};

}  // namespace velmuro::linux_desktop
