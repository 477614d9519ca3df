#include "platform/linux/audio/stream_memory.h"

namespace velmuro::linux_desktop {

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

void StreamMemory::writeMutes(const std::map<std::string, bool>& mutes, bool pipewire) {
  if (mutes.empty()) return;
  if (pipewire) {
    // pipewire-pulse hands a write on as a change of metadata, and a change to the value the
    // metadata already holds (from an earlier write) reaches WirePlumber not at all: the other
    // value first, then the one meant.
    std::map<std::string, bool> others;
    for (const auto& [name, muted] : mutes) others[name] = !muted;
    writeEach(others);
    writeEach(mutes);
    return;
  }
  read([this, mutes](const pa_ext_stream_restore_info* entry) {
    if (entry == nullptr || entry->name == nullptr) return;
    auto wanted = mutes.find(entry->name);
    if (wanted == mutes.end() || (entry->mute != 0) == wanted->second) return;
    pa_ext_stream_restore_info changed = *entry;
    changed.mute = wanted->second ? 1 : 0;
    write(changed);
  });
}

}  // namespace velmuro::linux_desktop
