#include "platform/linux/audio/guardian_restore.h"

#include <algorithm>
#include <map>
#include <optional>
#include <set>

#include "platform/linux/audio/server_connection.h"
#include "platform/linux/audio/server_state.h"
#include "platform/linux/audio/stream_memory.h"

namespace velmuro::linux_desktop {

namespace {

using Clock = std::chrono::steady_clock;
using Milliseconds = ServerConnection::Milliseconds;
using Wait = ServerConnection::Wait;

// How soon a server that has gone away is tried again.
constexpr Milliseconds kRetryInterval{100};
// WirePlumber takes a stream's mute into its memory a few milliseconds after pipewire-pulse has
// reported the change, so a memory written sooner after an unmute is overwritten by it.
constexpr Milliseconds kWirePlumberDelay{500};
// How long the unmutes' announcements are waited for before the memory is put back regardless.
constexpr Milliseconds kAnnouncementWait{1000};

// What the server holds, as one connection lists it.
struct Restorer {
  ServerConnection* connection = nullptr;
  ServerState state;
  bool pipewire = false;
  std::uint32_t cookie = 0;
  // Streams unmuted whose change the server has not yet announced.
  std::set<std::uint32_t> unannounced;

  static void onServer(pa_context*, const pa_server_info* info, void* self) {
    auto* restorer = static_cast<Restorer*>(self);
    std::string name = info && info->server_name ? info->server_name : "";
    restorer->pipewire = name.find("PipeWire") != std::string::npos;
    if (info) restorer->cookie = info->cookie;
    restorer->connection->finish();
  }
  static void onClient(pa_context*, const pa_client_info* info, int eol, void* self) {
    auto* restorer = static_cast<Restorer*>(self);
    if (eol != 0 || info == nullptr) return restorer->connection->finish();
    restorer->state.updateClient(restorer->connection->pulse(), *info);
  }
  static void onStream(pa_context*, const pa_sink_input_info* info, int eol, void* self) {
    auto* restorer = static_cast<Restorer*>(self);
    if (eol != 0 || info == nullptr) return restorer->connection->finish();
    restorer->state.updateStream(restorer->connection->pulse(), *info);
  }
  static void onAnswered(pa_context*, int, void* self) {
    static_cast<Restorer*>(self)->connection->finish();
  }
  static void onEvent(pa_context*, pa_subscription_event_type_t, std::uint32_t index, void* self) {
    auto* restorer = static_cast<Restorer*>(self);
    if (restorer->unannounced.erase(index) > 0) restorer->connection->wake();
  }
};

// Lists the server, its clients and its streams afresh.
Wait list(ServerConnection& connection, Restorer& restorer, Clock::time_point deadline) {
  const PulseLibrary& pulse = connection.pulse();
  pa_context* context = connection.context();
  restorer.state = ServerState();
  // The own client first: it tells which credentials are the server's own.
  std::uint32_t own = pulse.pa_context_get_index(context);
  restorer.state.setOwnClient(own);
  connection.track(pulse.pa_context_get_server_info(context, Restorer::onServer, &restorer));
  connection.track(pulse.pa_context_get_client_info(context, own, Restorer::onClient, &restorer));
  connection.track(pulse.pa_context_get_client_info_list(context, Restorer::onClient, &restorer));
  connection.track(
      pulse.pa_context_get_sink_input_info_list(context, Restorer::onStream, &restorer));
  return connection.waitForAnswers(ServerConnection::until(deadline));
}

// True for a muted stream that the tool's mute left muted.
bool mutedByTheTool(const GuardianLedger& ledger, bool sameServer, std::uint32_t index, pid_t pid,
                    const std::string& memoryKey) {
  if (sameServer) {
    // The same stream of the same process.
    auto held = ledger.streams.find(index);
    return held != ledger.streams.end() && held->second == pid;
  }
  // A server run anew gives a process's stream the mute remembered under its name.
  auto memory = ledger.memory.find(memoryKey);
  return ledger.processes.count(pid) > 0 && memory != ledger.memory.end() && !memory->second;
}

Wait unmuteLeftovers(ServerConnection& connection, const GuardianLedger& ledger, Restorer& restorer,
                     Clock::time_point deadline) {
  const bool sameServer = ledger.server == restorer.cookie;
  for (const auto& [index, stream] : restorer.state.streams()) {
    std::optional<pid_t> pid = restorer.state.streamPID(stream);
    if (!stream.muted || !pid || !mutedByTheTool(ledger, sameServer, index, *pid, stream.memoryKey))
      continue;
    restorer.unannounced.insert(index);
    connection.track(connection.pulse().pa_context_set_sink_input_mute(
        connection.context(), index, 0, Restorer::onAnswered, &restorer));
  }
  if (Wait wait = connection.waitForAnswers(ServerConnection::until(deadline)); wait != Wait::kDone) return wait;
  // PulseAudio's memory takes in a stream's mute as the server announces the change, which can
  // come after the unmute's answer: the memory is put back after it, or it would be overwritten.
  Wait announced = connection.waitUntil([&restorer] { return restorer.unannounced.empty(); },
                                        std::min(kAnnouncementWait, ServerConnection::until(deadline)));
  return announced == Wait::kDisconnected ? announced : Wait::kDone;
}

// Puts the memory back. On PipeWire a remembered mute is written only half a second after the
// unmutes, whose own memory would undo it.
Wait putMemoryBack(ServerConnection& connection, const GuardianLedger& ledger, Restorer& restorer,
                   std::optional<StreamMemory>& memory, Clock::time_point deadline) {
  bool rememberedMuted = std::any_of(ledger.memory.begin(), ledger.memory.end(),
                                     [](const auto& entry) { return entry.second; });
  if (restorer.pipewire && rememberedMuted && !connection.pause(kWirePlumberDelay)) {
    return Wait::kDisconnected;
  }
  memory.emplace(connection);
  return memory->putMutes(ledger.memory, restorer.pipewire, ServerConnection::until(deadline));
}

// One pass over one connection: kDisconnected when the server went away meanwhile.
Wait restoreOnce(ServerConnection& connection, const GuardianLedger& ledger, Restorer& restorer,
                 std::optional<StreamMemory>& memory, Clock::time_point deadline) {
  restorer = Restorer{};
  restorer.connection = &connection;
  // Subscribed before anything is unmuted, so that each unmute's announcement is seen.
  connection.track(connection.pulse().pa_context_subscribe(
      connection.context(), PA_SUBSCRIPTION_MASK_SINK_INPUT, Restorer::onAnswered, &restorer));
  if (Wait wait = list(connection, restorer, deadline); wait != Wait::kDone) return wait;
  const bool sameServer = ledger.server == restorer.cookie;
  if (Wait wait = unmuteLeftovers(connection, ledger, restorer, deadline); wait != Wait::kDone) {
    return wait;
  }
  if (Wait wait = putMemoryBack(connection, ledger, restorer, memory, deadline);
      wait != Wait::kDone) {
    return wait;
  }
  if (sameServer) return Wait::kDone;
  // A server run anew may have muted a stream that came while its memory still held the tool's
  // mute, later than the first list.
  if (Wait wait = list(connection, restorer, deadline); wait != Wait::kDone) return wait;
  return unmuteLeftovers(connection, ledger, restorer, deadline);
}

}  // namespace

void giveBack(const PulseLibrary& pulse, const GuardianLedger& ledger, Clock::time_point deadline) {
  // Declared before the connection, so that its loop, whose callbacks use them, stops first.
  Restorer restorer;
  std::optional<StreamMemory> memory;
  std::unique_ptr<ServerConnection> connection = ServerConnection::create(pulse, "Velmuro");
  if (!connection) return;
  connection->setRetryInterval(kRetryInterval);
  connection->setSubscriptionHandler(Restorer::onEvent, &restorer);
  if (!connection->connect()) return;
  ServerConnection::Lock lock(*connection);
  for (;;) {
    // No server until the deadline: nothing was there to give back to.
    if (connection->waitUntilConnected(ServerConnection::until(deadline)) != Wait::kDone) return;
    if (restoreOnce(*connection, ledger, restorer, memory, deadline) != Wait::kDisconnected) {
      return;
    }
  }
}

}  // namespace velmuro::linux_desktop
