#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>

namespace velmuro::linux_desktop {

// What the guardian has been told: the server the tool is connected to, the streams the tool
// holds muted there (with the PID of the process that owns each), every process whose stream it
// held, and the remembered mutes the tool changed, with the value each had before.
struct GuardianLedger {
  // The server's cookie, which differs between two runs of a server: the held streams are its.
  std::optional<std::uint32_t> server;
  std::map<std::uint32_t, pid_t> streams;
  std::set<pid_t> processes;
  std::map<std::string, bool> memory;

  // True when there is nothing to give back.
  bool empty() const { return streams.empty() && memory.empty(); }
  // Applies one record (a line without its line feed); false when it is no record.
  bool apply(const std::string& record);
};

// The records the tool sends, one line each.
std::string serverRecord(std::uint32_t cookie);
std::string streamHeldRecord(std::uint32_t stream, pid_t pid);
std::string streamGivenBackRecord(std::uint32_t stream);
std::string memoryChangedRecord(const std::string& name, bool mutedBefore);
std::string memoryRestoredRecord(const std::string& name);

}  // namespace velmuro::linux_desktop
