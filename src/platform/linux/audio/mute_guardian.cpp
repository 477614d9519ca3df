#include "platform/linux/audio/mute_guardian.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <vector>

#include "platform/linux/audio/guardian_ledger.h"
#include "platform/linux/audio/guardian_restore.h"
#include "platform/linux/detached_descriptors.h"

namespace velmuro::linux_desktop {

namespace {

using Clock = std::chrono::steady_clock;

// How long a guardian told to end waits for a living tool to give its streams back itself.
constexpr std::chrono::milliseconds kHandOver{1000};

// Reads the tool's records into the ledger as they arrive.
class RecordReader {
 public:
  explicit RecordReader(int socket) : socket_(socket) {}

  // Reads what has arrived; false once the tool has closed its end (it has ended).
  bool read(GuardianLedger& ledger) {
    char buffer[4096];
    ssize_t n = ::read(socket_, buffer, sizeof buffer);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return true;
    if (n <= 0) return false;
    pending_.append(buffer, static_cast<std::size_t>(n));
    std::size_t end;
    while ((end = pending_.find('\n')) != std::string::npos) {
      ledger.apply(pending_.substr(0, end));
      pending_.erase(0, end + 1);
    }
    return true;
  }

 private:
  int socket_;
  std::string pending_;
};

// Reads records until the tool ends, or until a signal to end arrives; true for a signal.
bool watchTool(int socket, int signals, RecordReader& reader, GuardianLedger& ledger) {
  for (;;) {
    pollfd watched[2] = {{socket, POLLIN, 0}, {signals, POLLIN, 0}};
    if (::poll(watched, signals >= 0 ? 2 : 1, -1) < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (signals >= 0 && (watched[1].revents & POLLIN) != 0) return true;
    if (watched[0].revents != 0 && !reader.read(ledger)) return false;
  }
}

// After a signal: the tool learns that its guardian is going (the end of the socket's input) and,
// if it still runs, gives its streams back itself; the guardian reads on until it has, or the tool
// has ended, or the hand-over has taken too long.
void handOver(int socket, RecordReader& reader, GuardianLedger& ledger) {
  ::shutdown(socket, SHUT_WR);
  const Clock::time_point deadline = Clock::now() + kHandOver;
  while (!ledger.streams.empty()) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return;
    pollfd watched{socket, POLLIN, 0};
    int ready = ::poll(&watched, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0 || !reader.read(ledger)) return;
  }
}

[[noreturn]] void runGuardian(int socket, const PulseLibrary& pulse) {
  // Blocked for the guardian's whole life, so that they end the watch, never the restore.
  sigset_t endings;
  sigemptyset(&endings);
  for (int signal : {SIGTERM, SIGINT, SIGHUP, SIGQUIT}) sigaddset(&endings, signal);
  ::sigprocmask(SIG_BLOCK, &endings, nullptr);
  int signals = ::signalfd(-1, &endings, SFD_CLOEXEC);
  GuardianLedger ledger;
  RecordReader reader(socket);
  if (watchTool(socket, signals, reader, ledger)) handOver(socket, reader, ledger);
  // The tool has ended or will mute no more; it gave back all it had when the ledger is empty.
  if (!ledger.empty()) giveBack(pulse, ledger, Clock::now() + kGuardianPatience);
  ::_exit(0);
}

}  // namespace

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
    std::signal(SIGPIPE, SIG_IGN);
    runGuardian(keep, pulse);
  }
  ::close(ends[0]);
  socket_ = ends[1];
  return true;
}

void MuteGuardian::watch(pa_mainloop_api* api, std::function<void()> gone) {
  if (socket_ < 0 || gone_) return;
  goneHandler_ = std::move(gone);
  api->io_new(
      api, socket_,
      static_cast<pa_io_event_flags_t>(PA_IO_EVENT_INPUT | PA_IO_EVENT_HANGUP | PA_IO_EVENT_ERROR),
      onReadable, this);
}

void MuteGuardian::onReadable(pa_mainloop_api* api, pa_io_event* event, int fd, pa_io_event_flags_t,
                              void* self) {
  auto* guardian = static_cast<MuteGuardian*>(self);
  // The guardian never writes: anything readable is the end of its side.
  char byte;
  ssize_t n = ::recv(fd, &byte, 1, MSG_DONTWAIT);
  if (n > 0 || (n < 0 && (errno == EAGAIN || errno == EINTR))) return;
  api->io_free(event);
  guardian->gone_ = true;
  if (guardian->goneHandler_) guardian->goneHandler_();
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
