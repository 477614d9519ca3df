// The server side of the audio backend: the connection, the streams the taps cover, holding and
// giving back their mutes, the server's memory of them, and the server's events.
#include <algorithm>

#include "platform/linux/audio/linux_audio_hardware.h"

namespace velmuro::linux_desktop {

using platform::OSStatus;

namespace {

constexpr const char* kClientName = "Velmuro";
// How soon a server that has gone away is tried again while the tool runs: a restarted server's
// streams are muted again about this soon after they appear.
constexpr ServerConnection::Milliseconds kReconnectInterval{100};

}  // namespace

std::optional<ServerConnection::Lock> LinuxAudioHardware::lockLoop() {
  if (!connection_) return std::nullopt;
  return std::optional<ServerConnection::Lock>(std::in_place, *connection_);
}

LinuxAudioHardware::~LinuxAudioHardware() {
  // The loop thread must stop before the state its callbacks use goes.
  connection_.reset();
}
void LinuxAudioHardware::beginConnecting() {
  if (server_ != Server::kUnknown) return;
  server_ = Server::kUnavailable;
  pulse_ = loadPulseLibrary();
  if (pulse_ == nullptr) return;
  // The guardian is forked from this process, so before libpulse runs a thread here.
  guardian_.start(*pulse_);
  connection_ = ServerConnection::create(*pulse_, kClientName);
  if (!connection_) return;
  memory_ = std::make_unique<StreamMemory>(*connection_);
  connection_->setReadyHandler([this] { onConnected(); });
  connection_->setLostHandler([this] { onConnectionLost(); });
  connection_->setSubscriptionHandler(onSubscription, this);
  guardian_.watch(connection_->api(), [this] { onGuardianGone(); });
  if (connection_->connect()) server_ = Server::kConnecting;
}

void LinuxAudioHardware::onConnected() {
  pa_context* context = connection_->context();
  // Once connected, the tool connects again whenever the server goes away and comes back, and a
  // server that answers again is waited for again.
  connection_->setRetryInterval(kReconnectInterval);
  reconnected_ = connectedBefore_;
  connectedBefore_ = true;
  unanswered_ = false;
  // Subscribing before listing, so that nothing that appears in between is missed.
  connection_->track(pulse_->pa_context_subscribe(
      context,
      static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SINK_INPUT |
                                          PA_SUBSCRIPTION_MASK_CLIENT),
      onAnswered, this));
  connection_->track(pulse_->pa_context_get_server_info(context, onServerInfo, this));
  // The own client first: it tells which credentials are the server's own.
  std::uint32_t own = pulse_->pa_context_get_index(context);
  state_.setOwnClient(own);
  connection_->track(pulse_->pa_context_get_client_info(context, own, onClientInfo, this));
  connection_->track(pulse_->pa_context_get_client_info_list(context, onClientInfo, this));
  connection_->track(pulse_->pa_context_get_sink_input_info_list(context, onStreamInfo, this));
}

bool LinuxAudioHardware::ensureServer() {
  beginConnecting();
  if (server_ == Server::kConnecting) {
    ServerConnection::Lock lock(*connection_);
    // The connection, then the answers to what onConnected asked, within one timeout.
    auto deadline = std::chrono::steady_clock::now() + kServerTimeout;
    bool ready = connection_->waitUntilConnected(kServerTimeout) == ServerConnection::Wait::kDone &&
                 connection_->waitForAnswers(ServerConnection::until(deadline)) ==
                     ServerConnection::Wait::kDone;
    server_ = ready ? Server::kAvailable : Server::kUnavailable;
  }
  return server_ == Server::kAvailable;
}

bool LinuxAudioHardware::tapMutes(const Tap& tap) const {
  if (tap.description.muteBehavior == platform::TapMuteBehavior::kMuted) return true;
  if (tap.description.muteBehavior != platform::TapMuteBehavior::kMutedWhenTapped) return false;
  for (const auto& [id, proc] : ioProcs_) {
    if (!proc.running) continue;
    auto device = devices_.find(proc.device);
    if (device == devices_.end()) continue;
    const std::vector<std::string>& uids = device->second.tapUIDs;
    if (std::find(uids.begin(), uids.end(), tap.uid) != uids.end()) return true;
  }
  return false;
}

bool LinuxAudioHardware::isCovered(pid_t pid) const {
  // Without its guardian the tool mutes nothing: a mute a killed tool would leave is not made.
  if (!guardian_.running()) return false;
  for (const auto& [id, tap] : taps_) {
    if (!tapMutes(tap)) continue;
    bool listed = tap.pids.count(pid) > 0;
    bool global = tap.description.initializer ==
                  platform::TapInitializer::kStereoGlobalTapButExcludeProcesses;
    if (listed != global) return true;
  }
  return false;
}

bool LinuxAudioHardware::rememberedMuteAtBirth(ServerStream& stream) {
  if (stream.birthChecked || !stream.muted) return false;
  stream.birthChecked = true;
  auto changed = changedMemory_.find(stream.memoryKey);
  if (stream.memoryKey.empty() || changed == changedMemory_.end() || changed->second.mutedBefore) {
    return false;
  }
  return stream.firstSeen >= changed->second.since &&
         std::chrono::steady_clock::now() - stream.firstSeen <= kRememberedMuteWindow;
}

LinuxAudioHardware::Action LinuxAudioHardware::planStream(std::uint32_t index,
                                                          ServerStream& stream) {
  // A request in flight decides nothing until it is answered; its answer plans again.
  if (stream.requestedMute) return Action::kNone;
  std::optional<pid_t> pid = state_.streamPID(stream);
  bool covered = pid && isCovered(*pid);
  bool held = held_.count(index) > 0;
  // A stream the server's memory muted as it appeared, after the tool's mute of a stream
  // remembered under the same name: the tool's doing, not the user's.
  bool mutedByMemory = rememberedMuteAtBirth(stream);
  if (covered) {
    if (!held) {
      // Muted before the tool covered it: it stays as it is, and stays muted afterwards.
      if (stream.muted && !mutedByMemory) return Action::kNone;
      holdStream(index, *pid, stream.memoryKey);
    }
    return stream.muted ? Action::kNone : Action::kMute;
  }
  if (held) {
    if (stream.muted) return Action::kUnmute;
    releaseStream(index);
    return Action::kNone;
  }
  return stream.muted && mutedByMemory ? Action::kUnmute : Action::kNone;
}

void LinuxAudioHardware::apply(std::uint32_t index, ServerStream& stream, Action action) {
  if (action != Action::kNone) requestMute(index, stream, action == Action::kMute);
}

void LinuxAudioHardware::reconcileStream(std::uint32_t index) {
  auto stream = state_.streams().find(index);
  if (stream == state_.streams().end()) return;
  Action action = planStream(index, stream->second);
  // The memory is read before the mute that changes it reaches the server.
  readMemoryBefore();
  apply(index, stream->second, action);
}

void LinuxAudioHardware::reconcileAll() {
  std::vector<std::pair<std::uint32_t, Action>> actions;
  for (auto& [index, stream] : state_.streams()) {
    actions.emplace_back(index, planStream(index, stream));
  }
  readMemoryBefore();
  for (const auto& [index, action] : actions) apply(index, state_.streams()[index], action);
}

void LinuxAudioHardware::holdStream(std::uint32_t index, pid_t pid, const std::string& memoryKey) {
  // The guardian learns of the stream before the server is asked to mute it.
  guardian_.send(streamHeldRecord(index, pid));
  held_[index] = pid;
  if (memoryKey.empty() || changedMemory_.count(memoryKey) > 0) return;
  // pipewire-pulse can't list what WirePlumber remembers, which is the mute of the stream under
  // the name that changed last (or was made last): there another stream found muted under it is
  // taken for the user's remembered mute, and without one the memory is taken as unmuted.
  bool mutedBefore = pipewire_ && otherStreamMuted(index, memoryKey);
  changedMemory_[memoryKey] = {mutedBefore, pipewire_, std::chrono::steady_clock::now()};
  guardian_.send(memoryChangedRecord(memoryKey, mutedBefore));
  if (!pipewire_) memoryToRead_.push_back(memoryKey);
}

bool LinuxAudioHardware::otherStreamMuted(std::uint32_t index, const std::string& memoryKey) const {
  return std::any_of(state_.streams().begin(), state_.streams().end(), [&](const auto& entry) {
    return entry.first != index && entry.second.memoryKey == memoryKey && entry.second.muted &&
           held_.count(entry.first) == 0;
  });
}

void LinuxAudioHardware::releaseStream(std::uint32_t index) {
  if (held_.erase(index) > 0) guardian_.send(streamGivenBackRecord(index));
}

void LinuxAudioHardware::readMemoryBefore() {
  if (memoryToRead_.empty()) return;
  std::vector<std::string> names = std::move(memoryToRead_);
  memoryToRead_.clear();
  memory_->read([this, names](const pa_ext_stream_restore_info* entry) {
    for (const std::string& name : names) {
      auto changed = changedMemory_.find(name);
      if (changed == changedMemory_.end() || changed->second.beforeKnown) continue;
      if (entry == nullptr) {
        changed->second.beforeKnown = true;
      } else if (entry->name != nullptr && name == entry->name) {
        changed->second.beforeKnown = true;
        changed->second.mutedBefore = entry->mute != 0;
        if (entry->mute != 0) guardian_.send(memoryChangedRecord(name, true));
      }
    }
  });
}

void LinuxAudioHardware::requestMute(std::uint32_t index, ServerStream& stream, bool mute) {
  stream.requestedMute = mute;
  muteRequests_.push_back({this, index, mute});
  if (!connection_->track(pulse_->pa_context_set_sink_input_mute(
          connection_->context(), index, mute ? 1 : 0, onMuteAnswered, &muteRequests_.back()))) {
    muteRequests_.pop_back();
    stream.requestedMute.reset();
    if (mute) muteRefused_ = true;
  }
}

void LinuxAudioHardware::onMuteAnswered(pa_context* context, int success, void* userdata) {
  auto* request = static_cast<MuteRequest*>(userdata);
  LinuxAudioHardware& hardware = *request->hardware;
  const std::uint32_t index = request->stream;
  const bool mute = request->mute;
  hardware.muteRequests_.remove_if([&](const MuteRequest& r) { return &r == request; });
  auto stream = hardware.state_.streams().find(index);
  if (success) {
    if (!mute) hardware.unannounced_.insert(index);
    if (stream != hardware.state_.streams().end()) {
      stream->second.requestedMute.reset();
      stream->second.muted = mute;
      hardware.reconcileStream(index);
    }
  } else if (hardware.pulse_->pa_context_errno(context) == PA_ERR_NOENTITY) {
    // The stream has gone: nothing left to silence or to give back.
    hardware.state_.removeStream(index);
    hardware.releaseStream(index);
  } else {
    if (mute) hardware.muteRefused_ = true;
    if (stream != hardware.state_.streams().end()) stream->second.requestedMute.reset();
  }
  hardware.connection_->finish();
}

OSStatus LinuxAudioHardware::settle(bool refresh) {
  muteRefused_ = false;
  bool muting = std::any_of(taps_.begin(), taps_.end(),
                            [this](const auto& tap) { return tapMutes(tap.second); });
  if (!connection_ || !connection_->connected()) {
    return muting ? kAudioHardwareNotRunningError : platform::kNoErr;
  }
  if (refresh) {
    // A fresh list catches streams whose announcements are still on their way.
    pa_context* context = connection_->context();
    connection_->track(pulse_->pa_context_get_client_info_list(context, onClientInfo, this));
    connection_->track(pulse_->pa_context_get_sink_input_info_list(context, onStreamInfo, this));
  }
  reconcileAll();
  // A server that let one wait pass is not waited for again: the requests still go out, and the
  // guardian sees to them should they stay unanswered.
  if (unanswered_) return kAudioHardwareNotRunningError;
  ServerConnection::Wait answered = connection_->waitForAnswers(kServerTimeout);
  if (answered == ServerConnection::Wait::kTimedOut) unanswered_ = true;
  // A server that went away took its streams along: only a mute is missed.
  if (answered != ServerConnection::Wait::kDone) {
    return muting ? kAudioHardwareNotRunningError : platform::kNoErr;
  }
  if (muteRefused_ || (muting && !guardian_.running())) {
    return platform::kAudioHardwareIllegalOperationError;
  }
  if (!muting && held_.empty()) giveMemoryBack();
  return platform::kNoErr;
}

void LinuxAudioHardware::giveMemoryBack() {
  if (changedMemory_.empty()) return;
  // PulseAudio's memory takes in a stream's mute as the server announces the change, which can
  // come after the unmute's answer: a memory read or written before then would be overwritten.
  ServerConnection::Wait announced =
      connection_->waitUntil([this] { return unannounced_.empty(); }, kServerTimeout);
  if (announced == ServerConnection::Wait::kTimedOut) unanswered_ = true;
  if (announced != ServerConnection::Wait::kDone) return;
  std::map<std::string, bool> mutes;
  for (const auto& [name, changed] : changedMemory_) mutes[name] = changed.mutedBefore;
  // Not done, the names stay with the guardian, which writes them again when the tool ends.
  ServerConnection::Wait done = memory_->putMutes(mutes, pipewire_, kServerTimeout);
  if (done == ServerConnection::Wait::kTimedOut) unanswered_ = true;
  if (done != ServerConnection::Wait::kDone) return;
  for (const auto& [name, muted] : mutes) {
    // The guardian writes WirePlumber's memory again, and reads it back, once the tool has ended
    // where this write may not last: WirePlumber may take the unmutes just made into its memory
    // after it, and one just started drops what reaches it before it is ready.
    if (!(pipewire_ && (muted || reconnected_))) guardian_.send(memoryRestoredRecord(name));
  }
  changedMemory_.clear();
}

void LinuxAudioHardware::onConnectionLost() {
  // The server's streams went with it; what it remembers may outlive it, so the changed memory
  // is kept, and put back once a server is there again: by the tool after its release, by the
  // guardian should the tool end first. While the hold lasts, the covered processes' streams are
  // muted again on the server that comes back.
  for (const auto& [index, pid] : held_) guardian_.send(streamGivenBackRecord(index));
  held_.clear();
  state_.clear();
  muteRequests_.clear();
  unannounced_.clear();
  memoryToRead_.clear();
  memory_->forget();
}

void LinuxAudioHardware::onGuardianGone() {
  // Nothing is covered any more: the held streams are given back.
  reconcileAll();
}

void LinuxAudioHardware::onSubscription(pa_context* context, pa_subscription_event_type_t event,
                                        std::uint32_t index, void* self) {
  auto& hardware = *static_cast<LinuxAudioHardware*>(self);
  const PulseLibrary& pulse = *hardware.pulse_;
  unsigned facility = event & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
  bool removed = (event & PA_SUBSCRIPTION_EVENT_TYPE_MASK) == PA_SUBSCRIPTION_EVENT_REMOVE;
  if (facility == PA_SUBSCRIPTION_EVENT_SINK_INPUT) {
    if (hardware.unannounced_.erase(index) > 0) hardware.connection_->wake();
    if (removed) {
      hardware.state_.removeStream(index);
      hardware.releaseStream(index);
    } else {
      hardware.connection_->track(
          pulse.pa_context_get_sink_input_info(context, index, onStreamInfo, self));
    }
  } else if (facility == PA_SUBSCRIPTION_EVENT_CLIENT) {
    if (removed) {
      hardware.state_.removeClient(index);
    } else {
      hardware.connection_->track(
          pulse.pa_context_get_client_info(context, index, onClientInfo, self));
    }
  }
}

void LinuxAudioHardware::onServerInfo(pa_context*, const pa_server_info* info, void* self) {
  auto& hardware = *static_cast<LinuxAudioHardware*>(self);
  std::string name = info && info->server_name ? info->server_name : "";
  // pipewire-pulse names itself "PulseAudio (on PipeWire x.y.z)".
  hardware.pipewire_ = name.find("PipeWire") != std::string::npos;
  // The cookie tells one run of a server from the next: the guardian's streams are its.
  if (info) hardware.guardian_.send(serverRecord(info->cookie));
  hardware.connection_->finish();
}

void LinuxAudioHardware::onClientInfo(pa_context*, const pa_client_info* info, int eol,
                                      void* self) {
  auto& hardware = *static_cast<LinuxAudioHardware*>(self);
  if (eol != 0 || info == nullptr) return hardware.connection_->finish();
  hardware.state_.updateClient(*hardware.pulse_, *info);
  std::optional<pid_t> pid = hardware.state_.clientPID(hardware.state_.clients().at(info->index));
  if (!pid) return;
  hardware.objectForPID(*pid);
  // Streams that arrived before their client are covered or not only now.
  std::vector<std::uint32_t> streams;
  for (const auto& [index, stream] : hardware.state_.streams()) {
    if (stream.client == info->index) streams.push_back(index);
  }
  for (std::uint32_t index : streams) hardware.reconcileStream(index);
}

void LinuxAudioHardware::onStreamInfo(pa_context*, const pa_sink_input_info* info, int eol,
                                      void* self) {
  auto& hardware = *static_cast<LinuxAudioHardware*>(self);
  if (eol != 0 || info == nullptr) return hardware.connection_->finish();
  hardware.state_.updateStream(*hardware.pulse_, *info);
  hardware.reconcileStream(info->index);
}

void LinuxAudioHardware::onAnswered(pa_context*, int, void* self) {
  static_cast<LinuxAudioHardware*>(self)->connection_->finish();
}

}  // namespace velmuro::linux_desktop
