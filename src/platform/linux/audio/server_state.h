#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "platform/linux/audio/pulse_library.h"

namespace velmuro::linux_desktop {

// One client of the sound server, as far as the tool looks at it.
struct ServerClient {
  // application.process.id, when it is a PID: what the client says of itself.
  std::optional<pid_t> claimedPID;
  // pipewire.sec.pid, when it is a PID: the peer of the client's socket, as PipeWire records it.
  std::optional<pid_t> credentialPID;
  // application.id, empty when the client has none.
  std::string applicationId;
};

// One playback stream (sink input) of the sound server.
struct ServerStream {
  std::uint32_t client = PA_INVALID_INDEX;
  bool muted = false;
  bool corked = false;
  // The name under which the server remembers the stream's mute (module-stream-restore.id,
  // served by PulseAudio and pipewire-pulse alike); empty when it remembers nothing.
  std::string memoryKey;
  // When the tool first saw the stream.
  std::chrono::steady_clock::time_point firstSeen;
  // Set once the tool has decided whether the server's memory muted the stream at its birth.
  bool birthChecked = false;
  // The mute the tool has asked for and the server has not yet acknowledged.
  std::optional<bool> requestedMute;
};

// The server's clients and playback streams, kept current from its answers and events.
class ServerState {
 public:
  // Names the client that is this process's own connection, whose socket's peer is the server
  // that speaks the PulseAudio protocol (pipewire-pulse, for PipeWire).
  void setOwnClient(std::uint32_t index) { ownClient_ = index; }
  // Adds or refreshes a client from the server's description of it.
  void updateClient(const PulseLibrary& pulse, const pa_client_info& info);
  // Forgets a client the server has removed.
  void removeClient(std::uint32_t index) { clients_.erase(index); }
  // Adds or refreshes a stream from the server's description of it, giving the stream.
  ServerStream& updateStream(const PulseLibrary& pulse, const pa_sink_input_info& info);
  // Forgets a stream the server has removed.
  void removeStream(std::uint32_t index) { streams_.erase(index); }
  // Forgets everything (the connection is gone).
  void clear();

  // The PID of a client's process: the one its socket's credentials give, unless they give the
  // PulseAudio-protocol server's own (it connects on behalf of its clients) or the own client's
  // are not known yet; else the one it claims.
  std::optional<pid_t> clientPID(const ServerClient& client) const;
  // The PID of the process that owns a stream, through its client.
  std::optional<pid_t> streamPID(const ServerStream& stream) const;
  // The clients by index.
  const std::map<std::uint32_t, ServerClient>& clients() const { return clients_; }
  // The streams by index.
  std::map<std::uint32_t, ServerStream>& streams() { return streams_; }
  const std::map<std::uint32_t, ServerStream>& streams() const { return streams_; }

 private:
  std::map<std::uint32_t, ServerClient> clients_;
  std::map<std::uint32_t, ServerStream> streams_;
  std::uint32_t ownClient_ = PA_INVALID_INDEX;
  // The credential PID of the own client: the PulseAudio-protocol server's process.
  std::optional<pid_t> relayPID_;
};

// A property's text as a PID: ASCII digits only, positive and within range; absent otherwise.
std::optional<pid_t> parseProcessID(const char* text);

}  // namespace velmuro::linux_desktop
