#include "platform/posix/posix_child_processes.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

extern char** environ;

namespace velmuro::posix {

namespace {

// Closes a descriptor once, when the owner goes out of scope or asks for it earlier.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd = -1) : fd_(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() { reset(); }

  int get() const { return fd_; }
  void reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

// Opens a pipe whose ends are both close-on-exec, so no other child inherits them.
bool openPipe(int ends[2]) {
#if defined(__linux__)
  return ::pipe2(ends, O_CLOEXEC) == 0;
#else
  if (::pipe(ends) != 0) return false;
  ::fcntl(ends[0], F_SETFD, FD_CLOEXEC);
  ::fcntl(ends[1], F_SETFD, FD_CLOEXEC);
  return true;
#endif
}

// Reads until end of file, retrying interrupted reads; stops early only on a read error.
std::string readToEnd(int fd) {
  std::string output;
  char buffer[65536];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) {
      output.append(buffer, static_cast<std::size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      break;
    }
  }
  return output;
}

void waitForExit(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

// Spawns the child with stdout on writeEnd, stderr on the null device and SIGPIPE back at its
// default (the tool itself ignores it); -1 on failure.
pid_t spawnChild(const std::string& path, const std::vector<std::string>& arguments, int writeEnd) {
  posix_spawn_file_actions_t actions;
  if (::posix_spawn_file_actions_init(&actions) != 0) return -1;
  posix_spawnattr_t attributes;
  if (::posix_spawnattr_init(&attributes) != 0) {
    ::posix_spawn_file_actions_destroy(&actions);
    return -1;
  }
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  pid_t pid = -1;
  // dup2 onto descriptor 1 clears close-on-exec there; the pipe's own ends close at exec.
  if (::posix_spawn_file_actions_adddup2(&actions, writeEnd, STDOUT_FILENO) == 0 &&
      ::posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0) == 0 &&
      ::posix_spawnattr_setsigdefault(&attributes, &defaults) == 0 &&
      ::posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF) == 0) {
    std::vector<char*> argv;
    argv.reserve(arguments.size() + 2);
    argv.push_back(const_cast<char*>(path.c_str()));
    for (const std::string& argument : arguments)
      argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    if (::posix_spawn(&pid, path.c_str(), &actions, &attributes, argv.data(), environ) != 0) {
      pid = -1;
    }
  }
  ::posix_spawnattr_destroy(&attributes);
  ::posix_spawn_file_actions_destroy(&actions);
  return pid;
}

}  // namespace

std::optional<std::string> PosixChildProcesses::runAndCollect(
    const std::string& path, const std::vector<std::string>& arguments) {
  int ends[2];
  if (!openPipe(ends)) return std::nullopt;
  FileDescriptor readEnd(ends[0]);
  FileDescriptor writeEnd(ends[1]);

  pid_t pid = spawnChild(path, arguments, writeEnd.get());
  // Without our copy of the write end, end of file arrives as soon as the child is done.
  writeEnd.reset();
  if (pid < 0) return std::nullopt;
  if (whileRunning_) whileRunning_();

  std::string output = readToEnd(readEnd.get());
  readEnd.reset();
  waitForExit(pid);
  return output;
}

}  // namespace velmuro::posix
