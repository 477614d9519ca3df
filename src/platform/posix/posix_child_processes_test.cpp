#include "platform/posix/posix_child_processes.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

namespace velmuro::posix {
namespace {

using ::testing::Optional;

// A file in a fresh temporary directory, removed with the directory at the end.
class TemporaryFile {
 public:
  explicit TemporaryFile(const std::string& contents = "") {
    char pattern[] = "/tmp/velmuro-child-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) return;
    directory_ = pattern;
    std::ofstream(path()) << contents;
  }
  ~TemporaryFile() {
    std::error_code error;
    if (!directory_.empty()) std::filesystem::remove_all(directory_, error);
  }

  bool ready() const { return !directory_.empty() && std::filesystem::exists(path()); }
  std::string path() const { return (directory_ / "file").string(); }
  std::string contents() const {
    std::ifstream in(path());
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

 private:
  std::filesystem::path directory_;
};

// Points one of this process's standard descriptors at a file until the end of the scope.
class RedirectedDescriptor {
 public:
  RedirectedDescriptor(int fd, const std::string& path, int flags) : fd_(fd) {
    int file = ::open(path.c_str(), flags | O_CLOEXEC);
    if (file < 0) return;
    saved_ = ::fcntl(fd_, F_DUPFD_CLOEXEC, 10);
    if (saved_ >= 0) ::dup2(file, fd_);
    ::close(file);
  }
  ~RedirectedDescriptor() {
    if (saved_ < 0) return;
    ::dup2(saved_, fd_);
    ::close(saved_);
  }
  bool ready() const { return saved_ >= 0; }

 private:
  int fd_;
  int saved_ = -1;
};

int countOpenDescriptors() {
  int count = 0;
  for (int fd = 0; fd < 1024; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1) ++count;
  }
  return count;
}

class PosixChildProcessesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::access("/bin/sh", X_OK) != 0) GTEST_SKIP() << "/bin/sh is not installed";
  }

  std::optional<std::string> shell(const std::string& script, std::vector<std::string> extra = {}) {
    std::vector<std::string> arguments{"-c", script};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    return children_.runAndCollect("/bin/sh", arguments);
  }

  PosixChildProcesses children_;
};

TEST_F(PosixChildProcessesTest, CollectsOutputFarLargerThanThePipeBufferWhole) {
  std::optional<std::string> zeros = shell("head -c 1000000 /dev/zero | tr '\\000' a");
  ASSERT_TRUE(zeros.has_value());
  EXPECT_EQ(zeros->size(), 1000000u);
  EXPECT_EQ(*zeros, std::string(1000000, 'a'));

  std::string expected;
  for (int i = 1; i <= 200000; ++i) expected += std::to_string(i) + "\n";
  EXPECT_THAT(shell("i=1; while [ $i -le 200000 ]; do echo $i; i=$((i+1)); done"),
              Optional(expected));
}

TEST_F(PosixChildProcessesTest, CollectsOutputWrittenInPiecesOverTime) {
  EXPECT_THAT(shell("printf one; sleep 0.2; printf ' two'; sleep 0.2; echo ' three'"),
              Optional(std::string("one two three\n")));
}

#ifdef __linux__
TEST_F(PosixChildProcessesTest, ChildStartsWithSIGPIPEAtItsDefaultThoughTheToolIgnoresIt) {
  auto previous = std::signal(SIGPIPE, SIG_IGN);
  std::optional<std::string> status = shell("grep '^SigIgn:' /proc/self/status");
  std::signal(SIGPIPE, previous);
  ASSERT_TRUE(status.has_value());
  ASSERT_EQ(status->rfind("SigIgn:", 0), 0u) << *status;
  unsigned long long ignored = std::stoull(status->substr(7), nullptr, 16);
  EXPECT_EQ(ignored & (1ull << (SIGPIPE - 1)), 0u) << *status;
}
#endif

TEST_F(PosixChildProcessesTest, SendsStandardErrorToTheNullDevice) {
  TemporaryFile ourStderr;
  ASSERT_TRUE(ourStderr.ready());
  std::optional<std::string> output;
  {
    RedirectedDescriptor redirect(STDERR_FILENO, ourStderr.path(), O_WRONLY);
    ASSERT_TRUE(redirect.ready());
    output = shell(
        "echo out; echo complaint >&2; ls /velmuro-missing-path; "
        "if [ /dev/fd/2 -ef /dev/null ]; then echo null; fi");
  }
  EXPECT_THAT(output, Optional(std::string("out\nnull\n")));
  EXPECT_EQ(ourStderr.contents(), "");
}

TEST_F(PosixChildProcessesTest, ChildInheritsStandardInput) {
  if (::access("/bin/cat", X_OK) != 0) GTEST_SKIP() << "/bin/cat is not installed";
  TemporaryFile input("line one\nline two\n");
  ASSERT_TRUE(input.ready());
  std::optional<std::string> output;
  {
    RedirectedDescriptor redirect(STDIN_FILENO, input.path(), O_RDONLY);
    ASSERT_TRUE(redirect.ready());
    output = children_.runAndCollect("/bin/cat", {});
  }
  EXPECT_THAT(output, Optional(std::string("line one\nline two\n")));
}

TEST_F(PosixChildProcessesTest, ArgumentsReachTheChildUnchanged) {
  EXPECT_THAT(shell("for a in \"$@\"; do printf '[%s]\\n' \"$a\"; done",
                    {"sh", "two words", "-n", "", "--", "\xC3\xBCn\xC3\xAF", "*", "$HOME", "a\nb"}),
              Optional(std::string("[two words]\n[-n]\n[]\n[--]\n[\xC3\xBCn\xC3\xAF]\n[*]\n"
                                   "[$HOME]\n[a\nb]\n")));
}

TEST_F(PosixChildProcessesTest, ChildSeesThePathAsItsFirstArgument) {
  if (::access("/proc/self/cmdline", R_OK) != 0) GTEST_SKIP() << "no /proc/self/cmdline here";
  if (::access("/bin/cat", X_OK) != 0) GTEST_SKIP() << "/bin/cat is not installed";
  EXPECT_THAT(children_.runAndCollect("/bin/cat", {"/proc/self/cmdline"}),
              Optional(std::string("/bin/cat\0/proc/self/cmdline\0", 28)));
}

TEST_F(PosixChildProcessesTest, GivesOutputWhateverTheExitStatus) {
  EXPECT_THAT(shell("echo partial; exit 3"), Optional(std::string("partial\n")));
  EXPECT_THAT(shell("echo killed; kill -9 $$"), Optional(std::string("killed\n")));
  EXPECT_THAT(shell("exit 1"), Optional(std::string()));
}

TEST_F(PosixChildProcessesTest, GivesNothingWhenTheExecutableCannotBeStarted) {
  EXPECT_EQ(children_.runAndCollect("/velmuro/no/such/program", {}), std::nullopt);
  EXPECT_EQ(children_.runAndCollect("/tmp", {}), std::nullopt);
  TemporaryFile notExecutable("#!/bin/sh\necho hi\n");
  ASSERT_TRUE(notExecutable.ready());
  EXPECT_EQ(children_.runAndCollect(notExecutable.path(), {}), std::nullopt);
}

TEST_F(PosixChildProcessesTest, DoesNotSearchThePathForABareName) {
  ASSERT_FALSE(std::filesystem::exists("sh")) << "the working directory holds a file named sh";
  EXPECT_EQ(children_.runAndCollect("sh", {"-c", "echo found"}), std::nullopt);
}

TEST_F(PosixChildProcessesTest, ClosesEveryDescriptorItOpens) {
  const int before = countOpenDescriptors();
  shell("echo hello");
  shell("head -c 300000 /dev/zero");
  children_.runAndCollect("/velmuro/no/such/program", {});
  EXPECT_EQ(countOpenDescriptors(), before);
}

TEST_F(PosixChildProcessesTest, CallsTheHookOnceEachChildRunsBeforeCollectingIt) {
  TemporaryFile signal;
  ASSERT_TRUE(signal.ready());
  std::filesystem::remove(signal.path());
  int calls = 0;
  // The child waits for the file the hook makes: it ends only if the hook ran while it ran.
  PosixChildProcesses children([&] {
    ++calls;
    std::ofstream(signal.path()) << "go";
  });
  const std::string script =
      "i=0; while [ ! -e \"$0\" ] && [ $i -lt 500 ]; do sleep 0.01; i=$((i+1)); done; "
      "[ -e \"$0\" ] && echo seen || echo missed; rm -f \"$0\"";
  EXPECT_THAT(children.runAndCollect("/bin/sh", {"-c", script, signal.path()}),
              Optional(std::string("seen\n")));
  EXPECT_THAT(children.runAndCollect("/bin/sh", {"-c", script, signal.path()}),
              Optional(std::string("seen\n")));
  EXPECT_EQ(calls, 2);
  EXPECT_EQ(children.runAndCollect("/nonexistent/velmuro-child", {}), std::nullopt);
  EXPECT_EQ(calls, 2) << "no hook for a child that never started";
}

TEST_F(PosixChildProcessesTest, ChildDoesNotInheritThePipeEnds) {
  // A descriptor opened without close-on-exec shows that the child's probe can see leaks.
  const int inheritable = ::open("/dev/null", O_RDONLY);
  ASSERT_GE(inheritable, 0);
  // The run's pipe takes the lowest free descriptors, the same two that this pipe gets.
  int ends[2];
  ASSERT_EQ(::pipe(ends), 0);
  ::close(ends[0]);
  ::close(ends[1]);

  std::optional<std::string> output =
      shell("for n in \"$@\"; do if [ -e /dev/fd/$n ]; then echo $n; fi; done",
            {"sh", std::to_string(inheritable), std::to_string(ends[0]), std::to_string(ends[1])});
  ::close(inheritable);
  EXPECT_THAT(output, Optional(std::to_string(inheritable) + "\n"));
}

}  // namespace
}  // namespace velmuro::posix
