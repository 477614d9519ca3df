#include "platform/linux/audio/server_state.h"

#include <limits>

namespace velmuro::linux_desktop {

namespace {

constexpr const char* kMemoryKeyProperty = "module-stream-restore.id";
constexpr const char* kCredentialPIDProperty = "pipewire.sec.pid";

std::string propertyText(const PulseLibrary& pulse, const pa_proplist* properties,
                         const char* key) {
  const char* value = properties ? pulse.pa_proplist_gets(properties, key) : nullptr;
  return value ? value : "";
}

}  // namespace

std::optional<pid_t> parseProcessID(const char* text) {
  if (text == nullptr || *text == '\0') return std::nullopt;
  long long value = 0;
  for (const char* c = text; *c != '\0'; ++c) {
    if (*c < '0' || *c > '9') return std::nullopt;
    value = value * 10 + (*c - '0');
    if (value > std::numeric_limits<pid_t>::max()) return std::nullopt;
  }
  if (value == 0) return std::nullopt;
  return static_cast<pid_t>(value);
}

void ServerState::updateClient(const PulseLibrary& pulse, const pa_client_info& info) {
  ServerClient& client = clients_[info.index];
  client.claimedPID =
      parseProcessID(propertyText(pulse, info.proplist, PA_PROP_APPLICATION_PROCESS_ID).c_str());
  client.credentialPID =
      parseProcessID(propertyText(pulse, info.proplist, kCredentialPIDProperty).c_str());
  client.applicationId = propertyText(pulse, info.proplist, PA_PROP_APPLICATION_ID);
  if (info.index == ownClient_) relayPID_ = client.credentialPID;
}

std::optional<pid_t> ServerState::clientPID(const ServerClient& client) const {
  // Until the own client's credentials are known, those of another client prove nothing.
  if (relayPID_ && client.credentialPID && client.credentialPID != relayPID_) {
    return client.credentialPID;
  }
  return client.claimedPID;
}

ServerStream& ServerState::updateStream(const PulseLibrary& pulse, const pa_sink_input_info& info) {
  auto [position, added] = streams_.try_emplace(info.index);
  ServerStream& stream = position->second;
  if (added) stream.firstSeen = std::chrono::steady_clock::now();
  stream.client = info.client;
  stream.muted = info.mute != 0;
  stream.corked = info.corked != 0;
  stream.memoryKey = propertyText(pulse, info.proplist, kMemoryKeyProperty);
  return stream;
}

void ServerState::clear() {
  clients_.clear();
  streams_.clear();
  ownClient_ = PA_INVALID_INDEX;
  relayPID_.reset();
}

std::optional<pid_t> ServerState::streamPID(const ServerStream& stream) const {
  auto client = clients_.find(stream.client);
  if (client == clients_.end()) return std::nullopt;
  return clientPID(client->second);
}

}  // namespace velmuro::linux_desktop
