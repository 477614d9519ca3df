#include "platform/linux/audio/mute_guardian.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <vector>

#include "platform/linux/audio/server_connection.h"
#include "platform/linux/audio/server_state.h"
#include "platform/linux/audio/stream_memory.h"

namespace velmuro::linux_desktop {

namespace {

// Long enough for a server busy with a crowded desktop; nobody waits on the guardian.
constexpr ServerConnection::Milliseconds kGuardianTimeout{5000};

std::string escapeName(const std::string& name) {
  std::string escaped;
  for (char c : name) {
    if (c == '\\') {
      escaped += "\\\\";
    } else if (c == '\n') {
      escaped += "\\n";
    } else {
      escaped += c;
    }
  }
  return escaped;
}

bool unescapeName(const std::string& escaped, std::string& name) {
  name.clear();
  for (std::size_t i = 0; i < escaped.size(); ++i) {
    if (escaped[i] != '\\') {
      name += escaped[i];
      continue;
    }
    if (++i == escaped.size()) return false;
    if (escaped[i] == '\\') {
      name += '\\';
    } else if (escaped[i] == 'n') {
      name += '\n';
    } else {
      return false;
    }
  }
  return true;
}

bool parseNumber(const std::string& text, unsigned long long limit, unsigned long long& value) {
  if (text.empty() || text.size() > 10) return false;
  value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<unsigned long long>(c - '0');
  }
  return value <= limit;
}

// Closes every descriptor but keep, and puts the null device on 0, 1 and 2.
void detachDescriptors(int keep) {
  if (keep > 3) ::close_range(3, static_cast<unsigned>(keep - 1), 0);
  if (::close_range(static_cast<unsigned>(keep + 1), ~0U, 0) != 0) {
    // Kernels before 5.9: walk the open descriptors instead.
    std::vector<int> open;
    if (DIR* fds = ::opendir("/proc/self/fd")) {
      while (dirent* entry = ::readdir(fds)) {
        int fd = std::atoi(entry->d_name);
        if (fd > 2 && fd != keep && fd != ::dirfd(fds)) open.push_back(fd);
      }
      ::closedir(fds);
    }
    for (int fd : open) ::close(fd);
  }
  int null = ::open("/dev/null", O_RDWR);
  for (int fd = 0; fd <= 2; ++fd) ::dup2(null, fd);
  if (null > 2) ::close(null);
}

// The guardian's connection once the tool has gone: what the server holds and what to give back.
struct Restorer {
  ServerConnection& connection;
  ServerState state;
  bool pipewire = false;

  static void onServer(pa_context*, const pa_server_info* info, void* self) {
    auto* restorer = static_cast<Restorer*>(self);
    std::string name = info && info->server_name ? info->server_name : "";
    restorer->pipewire = name.find("PipeWire") != std::string::npos;
    restorer->connection.finish();
  }
  static void onClient(pa_context*, const pa_client_info* info, int eol, void* self) {
    auto* restorer = static_cast<Restorer*>(self);
    if (eol != 0 || info == nullptr) return restorer->connection.finish();
    restorer->state.updateClient(restorer->connection.pulse(), *info);
  }
  static void onStream(pa_context*, const pa_sink_input_info* info, int eol, void* self) {
    auto* restorer = static_cast<Restorer*>(self);
    if (eol != 0 || info == nullptr) return restorer->connection.finish();
    restorer->state.updateStream(restorer->connection.pulse(), *info);
  }
  static void onUnmuted(pa_context*, int, void* self) {
    static_cast<Restorer*>(self)->connection.finish();
  }
};

void giveBack(const PulseLibrary& pulse, const GuardianLedger& ledger) {
  std::unique_ptr<ServerConnection> connection = ServerConnection::create(pulse, "Velmuro");
  if (!connection || !connection->connect()) return;
  ServerConnection::Lock lock(*connection);
  // No server: nothing is muted any more.
  if (!connection->waitUntilConnected(kGuardianTimeout)) return;
  Restorer restorer{*connection, {}};
  pa_context* context = connection->context();
  connection->track(pulse.pa_context_get_server_info(context, Restorer::onServer, &restorer));
  connection->track(pulse.pa_context_get_client_info_list(context, Restorer::onClient, &restorer));
  connection->track(
      pulse.pa_context_get_sink_input_info_list(context, Restorer::onStream, &restorer));
  if (!connection->waitForAnswers(kGuardianTimeout)) return;
  for (const auto& [index, pid] : ledger.streams) {
    auto stream = restorer.state.streams().find(index);
    // The same stream of the same process, still muted: a stream that took its place (a server
    // restarted since) is left alone.
    if (stream == restorer.state.streams().end() || !stream->second.muted ||
        restorer.state.streamPID(stream->second) != pid) {
      continue;
    }
    connection->track(
        pulse.pa_context_set_sink_input_mute(context, index, 0, Restorer::onUnmuted, &restorer));
  }
  if (!connection->waitForAnswers(kGuardianTimeout)) return;
  StreamMemory memory(*connection);
  memory.writeMutes(ledger.memory, restorer.pipewire);
  connection->waitForAnswers(kGuardianTimeout);
}

[[noreturn]] void runGuardian(int socket, const PulseLibrary& pulse) {
  GuardianLedger ledger;
  std::string pending;
  char buffer[4096];
  for (;;) {
    ssize_t n = ::read(socket, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    pending.append(buffer, static_cast<std::size_t>(n));
    std::size_t end;
    while ((end = pending.find('\n')) != std::string::npos) {
      ledger.apply(pending.substr(0, end));
      pending.erase(0, end + 1);
    }
  }
  // The tool has ended; it gave back all it had when the ledger is empty.
  if (!ledger.empty()) giveBack(pulse, ledger);
  ::_exit(0);
}

}  // namespace

bool GuardianLedger::apply(const std::string& record) {
  if (record.size() < 3 || record[1] != ' ') return false;
  std::string rest = record.substr(2);
  unsigned long long index = 0;
  unsigned long long pid = 0;
  std::string name;
  switch (record[0]) {
    case 'H': {
      std::size_t space = rest.find(' ');
      if (space == std::string::npos || !parseNumber(rest.substr(0, space), 0xFFFFFFFFu, index) ||
          !parseNumber(rest.substr(space + 1), 0x7FFFFFFFu, pid)) {
        return false;
      }
      streams[static_cast<std::uint32_t>(index)] = static_cast<pid_t>(pid);
      return true;
    }
    case 'G':
      if (!parseNumber(rest, 0xFFFFFFFFu, index)) return false;
      streams.erase(static_cast<std::uint32_t>(index));
      return true;
    case 'K':
      if (rest.size() < 3 || (rest[0] != '0' && rest[0] != '1') || rest[1] != ' ' ||
          !unescapeName(rest.substr(2), name)) {
        return false;
      }
      memory[name] = rest[0] == '1';
      return true;
    case 'F':
      if (!unescapeName(rest, name)) return false;
      memory.erase(name);
      return true;
    default:
      return false;
  }
}

std::string streamHeldRecord(std::uint32_t stream, pid_t pid) {
  return "H " + std::to_string(stream) + " " + std::to_string(pid) + "\n";
}

std::string streamGivenBackRecord(std::uint32_t stream) {
  return "G " + std::to_string(stream) + "\n";
}

std::string memoryChangedRecord(const std::string& name, bool mutedBefore) {
  return std::string("K ") + (mutedBefore ? "1 " : "0 ") + escapeName(name) + "\n";
}

std::string memoryRestoredRecord(const std::string& name) { return "F " + escapeName(name) + "\n"; }

MuteGuardian::~MuteGuardian() {
  if (socket_ >= 0) ::close(socket_);
}

bool MuteGuardian::start(const PulseLibrary& pulse) {
  int ends[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) return false;
  pid_t pid = ::fork();
  if (pid < 0) {
    ::close(ends[0]);
    ::close(ends[1]);
    return false;
  }
  if (pid == 0) {
    // A session of its own: a kill of the tool's process group does not reach it.
    ::setsid();
    ::close(ends[1]);
    int keep = ::fcntl(ends[0], F_DUPFD, 3);
    detachDescriptors(keep);
    std::signal(SIGTERM, SIG_DFL);
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGPIPE, SIG_IGN);
    runGuardian(keep, pulse);
  }
  ::close(ends[0]);
  socket_ = ends[1];
  return true;
}

void MuteGuardian::send(const std::string& record) {
  if (socket_ < 0) return;
  std::size_t sent = 0;
  while (sent < record.size()) {
    ssize_t n = ::send(socket_, record.data() + sent, record.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    sent += static_cast<std::size_t>(n);
  }
}

}  // namespace velmuro::linux_desktop
