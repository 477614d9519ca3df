#include "platform/linux/audio/stream_memory.h"

#include <algorithm>
#include <memory>

namespace velmuro::linux_desktop {

namespace {

using Clock = std::chrono::steady_clock;
using Milliseconds = ServerConnection::Milliseconds;
using Wait = ServerConnection::Wait;

// How often, and how many times, a write through pipewire-pulse is read back before it is
// written again: the change comes back from WirePlumber within a few milliseconds, and a read is
// one request to pipewire-pulse alone.
constexpr Milliseconds kReadBackInterval{2};
constexpr int kReadBacks = 125;

}  // namespace

void StreamMemory::read(EntryHandler handler) {
  readers_.push_back(std::move(handler));
  if (!connection_.track(
          connection_.pulse().pa_ext_stream_restore_read(connection_.context(), onEntry, this))) {
    EntryHandler unsent = std::move(readers_.back());
    readers_.pop_back();
    unsent(nullptr);
  }
}

void StreamMemory::onEntry(pa_context*, const pa_ext_stream_restore_info* entry, int eol,
                           void* self) {
  auto* memory = static_cast<StreamMemory*>(self);
  if (memory->readers_.empty()) return;
  if (eol == 0 && entry != nullptr) {
    memory->readers_.front()(entry);
    return;
  }
  // The end of the list, or a server without the memory module.
  EntryHandler handler = std::move(memory->readers_.front());
  memory->readers_.pop_front();
  handler(nullptr);
  memory->connection_.finish();
}

void StreamMemory::write(const pa_ext_stream_restore_info& entry) {
  connection_.track(connection_.pulse().pa_ext_stream_restore_write(
      connection_.context(), PA_UPDATE_REPLACE, &entry, 1, /*apply_immediately=*/0, onWritten,
      this));
}

void StreamMemory::onWritten(pa_context*, int, void* self) {
  static_cast<StreamMemory*>(self)->connection_.finish();
}

void StreamMemory::writeEach(const std::map<std::string, bool>& mutes) {
  for (const auto& [name, muted] : mutes) {
    pa_ext_stream_restore_info entry{};
    entry.name = name.c_str();
    entry.mute = muted ? 1 : 0;
    write(entry);
  }
}

Wait StreamMemory::readMutes(std::map<std::string, bool>& listed, Clock::time_point deadline) {
  // Shared with the handler, which an answer after the wait has ended still reaches.
  auto entries = std::make_shared<std::map<std::string, bool>>();
  read([entries](const pa_ext_stream_restore_info* entry) {
    if (entry != nullptr && entry->name != nullptr) (*entries)[entry->name] = entry->mute != 0;
  });
  Wait wait = connection_.waitForAnswers(ServerConnection::until(deadline));
  listed = *entries;
  return wait;
}

Wait StreamMemory::writeAndReadBack(const std::map<std::string, bool>& mutes,
                                    Clock::time_point deadline) {
  writeEach(mutes);
  if (Wait wait = connection_.waitForAnswers(ServerConnection::until(deadline)); wait != Wait::kDone) return wait;
  std::map<std::string, bool> listed;
  for (int attempt = 0; attempt < kReadBacks; ++attempt) {
    if (Wait wait = readMutes(listed, deadline); wait != Wait::kDone) return wait;
    if (std::all_of(mutes.begin(), mutes.end(), [&](const auto& entry) {
          auto found = listed.find(entry.first);
          return found != listed.end() && found->second == entry.second;
        })) {
      return Wait::kDone;
    }
    Milliseconds left = ServerConnection::until(deadline);
    if (left.count() == 0) return Wait::kTimedOut;
    if (!connection_.pause(std::min(kReadBackInterval, left))) return Wait::kDisconnected;
  }
  return Wait::kTimedOut;
}

Wait StreamMemory::putPipeWireMutes(const std::map<std::string, bool>& mutes,
                                    Clock::time_point deadline) {
  for (;;) {
    // pipewire-pulse lists what its metadata holds, and a write of the value held there (from
    // an earlier write) reaches WirePlumber not at all: such a name gets the other value first.
    std::map<std::string, bool> listed;
    if (Wait wait = readMutes(listed, deadline); wait != Wait::kDone) return wait;
    std::map<std::string, bool> others;
    for (const auto& [name, muted] : mutes) {
      auto found = listed.find(name);
      if (found != listed.end() && found->second == muted) others[name] = !muted;
    }
    Wait wait = others.empty() ? Wait::kDone : writeAndReadBack(others, deadline);
    if (wait == Wait::kDone) wait = writeAndReadBack(mutes, deadline);
    if (wait != Wait::kTimedOut || ServerConnection::until(deadline).count() == 0) return wait;
  }
}

Wait StreamMemory::putMutes(const std::map<std::string, bool>& mutes, bool pipewire,
                            Milliseconds timeout) {
  if (mutes.empty()) return Wait::kDone;
  const Clock::time_point deadline = Clock::now() + timeout;
  if (pipewire) return putPipeWireMutes(mutes, deadline);
  read([this, mutes](const pa_ext_stream_restore_info* entry) {
    if (entry == nullptr || entry->name == nullptr) return;
    auto wanted = mutes.find(entry->name);
    if (wanted == mutes.end() || (entry->mute != 0) == wanted->second) return;
    pa_ext_stream_restore_info changed = *entry;
    changed.mute = wanted->second ? 1 : 0;
    write(changed);
  });
  return connection_.waitForAnswers(ServerConnection::until(deadline));
}

}  // namespace velmuro::linux_desktop
