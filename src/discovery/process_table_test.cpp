#include "discovery/process_table.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "platform/child_processes.h"
#include "platform/posix/posix_child_processes.h"

extern char** environ;

namespace velmuro::discovery {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::UnorderedElementsAre;
using PIDSet = std::unordered_set<pid_t>;

// Answers every run with the same scripted output (or a launch failure) and records each run.
class ScriptedChildProcesses : public platform::ChildProcesses {
 public:
  struct Run {
    std::string path;
    std::vector<std::string> arguments;
  };

  std::optional<std::string> runAndCollect(const std::string& path,
                                           const std::vector<std::string>& arguments) override {
    runs.push_back({path, arguments});
    return output;
  }

  std::optional<std::string> output;
  std::vector<Run> runs;
};

class ProcessTableTest : public ::testing::Test {
 protected:
  std::vector<pid_t> pgrepPrinting(std::optional<std::string> output,
                                   const std::string& name = "Meeting") {
    children_.output = std::move(output);
    return findProcessPIDs(children_, name);
  }

  PIDSet psPrinting(std::optional<std::string> output, pid_t root) {
    children_.output = std::move(output);
    return descendantPIDs(children_, root);
  }

  ScriptedChildProcesses children_;
};

// --- findProcessPIDs ---

TEST_F(ProcessTableTest, FindRunsPgrepOnceWithExactMatchOfTheNameAsALiteralPattern) {
  pgrepPrinting("", "-i zoom.us");
  ASSERT_EQ(children_.runs.size(), 1u);
  EXPECT_EQ(children_.runs[0].path, "/usr/bin/pgrep");
  EXPECT_THAT(children_.runs[0].arguments, ElementsAre("-x", "--", "-i zoom\\.us"));
}

TEST_F(ProcessTableTest, FindKeepsPgrepOrderAndDuplicates) {
  EXPECT_THAT(pgrepPrinting("611\n612\n"), ElementsAre(611, 612));
  EXPECT_THAT(pgrepPrinting("612\n611\n612\n"), ElementsAre(612, 611, 612));
}

TEST_F(ProcessTableTest, FindGivesEmptyListWhenNothingIsPrinted) {
  EXPECT_THAT(pgrepPrinting(""), IsEmpty());
  EXPECT_THAT(pgrepPrinting(" \n\t\r\n\v\f"), IsEmpty());
}

TEST_F(ProcessTableTest, FindPassesOverLinesWithInnerSpaceOrCarriageReturn) {
  EXPECT_THAT(pgrepPrinting("611\n 612\n613\r\n614\n615 \n616\n"), ElementsAre(611, 614, 616));
}

TEST_F(ProcessTableTest, FindTrimsOnlyTheEndsOfTheWholeOutput) {
  EXPECT_THAT(pgrepPrinting("\r\n\t 611\n612\r\n"), ElementsAre(611, 612));
  EXPECT_THAT(pgrepPrinting("611\n\n\n612"), ElementsAre(611, 612));
}

TEST_F(ProcessTableTest, FindReadsSignedNumbersAndPassesOverOutOfRange) {
  EXPECT_THAT(pgrepPrinting("+12\n-5\n2147483648\n7\nabc\n"), ElementsAre(12, -5, 7));
}

TEST_F(ProcessTableTest, FindTrimsEveryUnicodeSpaceAndLineBreakAtTheEnds) {
  const std::vector<std::string> spaces = {"\t",           "\n",           "\v",
                                           "\f",           "\r",           " ",
                                           "\xC2\x85",     "\xC2\xA0",     "\xE1\x9A\x80",
                                           "\xE2\x80\x80", "\xE2\x80\x81", "\xE2\x80\x82",
                                           "\xE2\x80\x83", "\xE2\x80\x84", "\xE2\x80\x85",
                                           "\xE2\x80\x86", "\xE2\x80\x87", "\xE2\x80\x88",
                                           "\xE2\x80\x89", "\xE2\x80\x8A", "\xE2\x80\xA8",
                                           "\xE2\x80\xA9", "\xE2\x80\xAF", "\xE2\x81\x9F",
                                           "\xE3\x80\x80"};
  for (const std::string& space : spaces) {
    SCOPED_TRACE(::testing::PrintToString(space));
    EXPECT_THAT(pgrepPrinting(space + "5\n6" + space), ElementsAre(5, 6));
    EXPECT_THAT(pgrepPrinting(space + space + space), IsEmpty());
  }
  EXPECT_THAT(pgrepPrinting("\xE3\x80\x80\xC2\xA0"
                            "611\n612\xE2\x80\xA8\xC2\x85\n"),
              ElementsAre(611, 612));
}

TEST_F(ProcessTableTest, FindLeavesOtherInvisibleCharactersAndInnerUnicodeSpaces) {
  // Zero-width space (U+200B) and byte order mark (U+FEFF) are not whitespace.
  EXPECT_THAT(pgrepPrinting("5\xE2\x80\x8B"), IsEmpty());
  EXPECT_THAT(pgrepPrinting("\xEF\xBB\xBF"
                            "5"),
              IsEmpty());
  // A no-break space inside the output belongs to its line, which is then passed over.
  EXPECT_THAT(pgrepPrinting("5\n\xC2\xA0"
                            "6\n7"),
              ElementsAre(5, 7));
}

TEST_F(ProcessTableTest, FindGivesEmptyListWhenPgrepCannotLaunch) {
  EXPECT_THAT(pgrepPrinting(std::nullopt), IsEmpty());
  EXPECT_EQ(children_.runs.size(), 1u);
}

TEST_F(ProcessTableTest, FindGivesEmptyListForOutputThatIsNotUTF8) {
  EXPECT_THAT(pgrepPrinting("611\n\xFF\n612\n"), IsEmpty());
  EXPECT_THAT(pgrepPrinting("611\n\xE2\x80"), IsEmpty());
}

// --- descendantPIDs ---

TEST_F(ProcessTableTest, DescendantsRunPsOnceForPidAndParentColumns) {
  psPrinting("", 1);
  ASSERT_EQ(children_.runs.size(), 1u);
  EXPECT_EQ(children_.runs[0].path, "/bin/ps");
  EXPECT_THAT(children_.runs[0].arguments, ElementsAre("-axo", "pid=,ppid="));
}

TEST_F(ProcessTableTest, DescendantsReadColumnsPaddedWithRunsOfSpaces) {
  EXPECT_EQ(psPrinting("   501     1\n", 1), (PIDSet{1, 501}));
}

TEST_F(ProcessTableTest, DescendantsHoldTheWholeSubtreeAndNothingElse) {
  const std::string table =
      "    1     0\n"
      "  100     1\n"
      "  101   100\n"
      "  102   100\n"
      "  103   101\n"
      "  104   103\n"
      "  200     1\n"
      "  201   200\n";
  EXPECT_EQ(psPrinting(table, 100), (PIDSet{100, 101, 102, 103, 104}));
  EXPECT_EQ(psPrinting(table, 1), (PIDSet{1, 100, 101, 102, 103, 104, 200, 201}));
  EXPECT_EQ(psPrinting(table, 101), (PIDSet{101, 103, 104}));
}

TEST_F(ProcessTableTest, DescendantsIgnoreLinesWithThreeNumbersOrOne) {
  EXPECT_EQ(psPrinting("5 1 7\n6\n8 1\n", 1), (PIDSet{1, 8}));
  EXPECT_EQ(psPrinting("5 1 7\n6\n8 1\n", 5), (PIDSet{5}));
}

TEST_F(ProcessTableTest, DescendantsDropFieldsThatAreNotNumbersBeforeCounting) {
  EXPECT_EQ(psPrinting("word 12 34\n", 34), (PIDSet{34, 12}));
  EXPECT_EQ(psPrinting("2147483648 12 34\n", 34), (PIDSet{34, 12}));
  EXPECT_EQ(psPrinting("+12 -5\n", -5), (PIDSet{-5, 12}));
}

TEST_F(ProcessTableTest, DescendantsDoNotSplitAtTabsOrCarriageReturns) {
  EXPECT_EQ(psPrinting("12\t34\n", 34), (PIDSet{34}));
  EXPECT_EQ(psPrinting("12 34\r\n", 34), (PIDSet{34}));
}

TEST_F(ProcessTableTest, DescendantsSkipEmptyLinesAndBadLinesOneByOne) {
  EXPECT_EQ(psPrinting("\n\n12 34\n\ngarbage\n13 12\n  \n", 34), (PIDSet{34, 12, 13}));
}

TEST_F(ProcessTableTest, DescendantsExpandAProcessThatIsItsOwnParentOnce) {
  const std::string table = "0 0\n1 0\n2 1\n3 2\n";
  EXPECT_EQ(psPrinting(table, 0), (PIDSet{0, 1, 2, 3}));
  EXPECT_EQ(psPrinting(table, 1), (PIDSet{1, 2, 3}));
}

TEST_F(ProcessTableTest, DescendantsEndOnACycleInTheTable) {
  EXPECT_EQ(psPrinting("5 6\n6 7\n7 5\n8 7\n", 5), (PIDSet{5, 6, 7, 8}));
}

TEST_F(ProcessTableTest, DescendantsOfARootWithNoChildrenAreTheRootAlone) {
  EXPECT_EQ(psPrinting("1 0\n2 1\n999 1\n", 999), (PIDSet{999}));
  EXPECT_EQ(psPrinting("", 42), (PIDSet{42}));
}

TEST_F(ProcessTableTest, DescendantsOfAnUnlistedRootFollowLinesNamingItAsParent) {
  EXPECT_EQ(psPrinting("10 77\n11 10\n12 5\n13 77\n", 77), (PIDSet{77, 10, 11, 13}));
}

TEST_F(ProcessTableTest, DescendantsAreEmptyWhenPsCannotLaunch) {
  EXPECT_THAT(psPrinting(std::nullopt, 1), IsEmpty());
}

TEST_F(ProcessTableTest, DescendantsAreEmptyForOutputThatIsNotUTF8) {
  EXPECT_THAT(psPrinting("2 1\n\xC0\xAF 1\n", 1), IsEmpty());
}

// --- the real pgrep and ps, on processes these tests start ---

bool canExecute(const char* path) { return ::access(path, X_OK) == 0; }

// Spawns the executable with these arguments; -1 when it could not be started.
pid_t spawn(const std::string& path, const std::vector<std::string>& arguments) {
  std::vector<char*> argv{const_cast<char*>(path.c_str())};
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  if (::posix_spawn(&pid, path.c_str(), nullptr, nullptr, argv.data(), environ) != 0) return -1;
  return pid;
}

void killAndReap(pid_t pid) {
  ::kill(pid, SIGKILL);
  while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
  }
}

// A copy of /bin/sleep under a short unique name in a fresh directory, removed at the end.
class RenamedSleep {
 public:
  // Linux keeps at most 15 characters of a process name; the names used stay well below.
  explicit RenamedSleep(std::string name = "vmpg" + std::to_string(::getpid()))
      : name_(std::move(name)) {
    char pattern[] = "/tmp/velmuro-pgrep-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) return;
    directory_ = pattern;
    std::error_code error;
    std::filesystem::copy_file("/bin/sleep", directory_ / name_, error);
    if (!error) ready_ = true;
  }
  ~RenamedSleep() {
    std::error_code error;
    if (!directory_.empty()) std::filesystem::remove_all(directory_, error);
  }

  bool ready() const { return ready_; }
  const std::string& name() const { return name_; }
  std::string path() const { return (directory_ / name_).string(); }

 private:
  std::filesystem::path directory_;
  std::string name_;
  bool ready_ = false;
};

// Processes started by a test, killed and reaped however the test ends.
class StartedProcesses {
 public:
  ~StartedProcesses() { stopAll(); }
  void add(pid_t pid) { pids_.push_back(pid); }
  void stopAll() {
    for (pid_t pid : pids_) killAndReap(pid);
    pids_.clear();
  }

 private:
  std::vector<pid_t> pids_;
};

class ProcessTableSystemTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!canExecute("/usr/bin/pgrep") || !canExecute("/bin/ps")) {
      GTEST_SKIP() << "/usr/bin/pgrep or /bin/ps is not installed";
    }
  }

  posix::PosixChildProcesses children_;
};

TEST_F(ProcessTableSystemTest, PgrepFindsExactlyTheProcessesWithThatName) {
  if (!canExecute("/bin/sleep")) GTEST_SKIP() << "/bin/sleep is not installed";
  RenamedSleep sleep;
  ASSERT_TRUE(sleep.ready()) << "could not copy /bin/sleep into a temporary directory";

  StartedProcesses started;
  pid_t first = spawn(sleep.path(), {"60"});
  if (first < 0) GTEST_SKIP() << "cannot run programs from /tmp here";
  started.add(first);
  pid_t second = spawn(sleep.path(), {"60"});
  ASSERT_GT(second, 0);
  started.add(second);

  EXPECT_THAT(findProcessPIDs(children_, sleep.name()), UnorderedElementsAre(first, second));
  // -x wants the whole name: neither a longer nor a shorter name matches.
  EXPECT_THAT(findProcessPIDs(children_, sleep.name() + "0"), IsEmpty());
  EXPECT_THAT(findProcessPIDs(children_, sleep.name().substr(0, sleep.name().size() - 1)),
              IsEmpty());

  started.stopAll();
  EXPECT_THAT(findProcessPIDs(children_, sleep.name()), IsEmpty());
}

TEST_F(ProcessTableSystemTest, PgrepGivesEmptyListForANameThatMatchesNothing) {
  EXPECT_THAT(findProcessPIDs(children_, "vmnone" + std::to_string(::getpid())), IsEmpty());
}

TEST_F(ProcessTableSystemTest, NamesWithPatternCharactersMatchExactlyTheProcessOfThatName) {
  if (!canExecute("/bin/sleep")) GTEST_SKIP() << "/bin/sleep is not installed";
  std::string id = std::to_string(::getpid());
  // "vmx" bears the name that the pattern "vm." would also match.
  std::vector<std::string> names{"vm." + id, "vmx" + id,  "vm(" + id + ")", "vm[" + id + "]",
                                 "vm+" + id, "vm*" + id,  "vm?" + id,       "vm{1}" + id,
                                 "vm|" + id, "vm^$" + id, "vm\\" + id};
  std::vector<std::unique_ptr<RenamedSleep>> copies;
  StartedProcesses started;
  std::vector<pid_t> pids;
  for (const std::string& name : names) {
    copies.push_back(std::make_unique<RenamedSleep>(name));
    ASSERT_TRUE(copies.back()->ready()) << "could not copy /bin/sleep as " << name;
    pid_t pid = spawn(copies.back()->path(), {"60"});
    ASSERT_GT(pid, 0) << name;
    started.add(pid);
    pids.push_back(pid);
  }
  for (std::size_t i = 0; i < names.size(); ++i) {
    EXPECT_THAT(findProcessPIDs(children_, names[i]), ElementsAre(pids[i])) << names[i];
  }
  // As patterns these would match every process, this test's own included.
  EXPECT_THAT(findProcessPIDs(children_, ".*"), IsEmpty());
  EXPECT_THAT(findProcessPIDs(children_, "vm.*" + id), IsEmpty());
  EXPECT_THAT(findProcessPIDs(children_, "vm[x.]" + id), IsEmpty());
}

TEST_F(ProcessTableSystemTest, NameThatLooksLikeAnOptionIsMatchedAsAName) {
  // As options these would select every process of this user, or every process at all.
  EXPECT_THAT(findProcessPIDs(children_, "-u" + std::to_string(::getuid())), IsEmpty());
  EXPECT_THAT(findProcessPIDs(children_, "-v"), IsEmpty());
}

// A tree of four processes forked by the test: root -> {middle -> leaf, leaf}. Every process
// that has children reaps them, so killing the two leaves lets the whole tree end and be reaped.
class ForkedTree {
 public:
  enum Role : std::int32_t { kRoot, kMiddle, kMiddleLeaf, kRootLeaf, kRoleCount };

  ForkedTree() {
    int ends[2];
    if (::pipe(ends) != 0) return;
    root_ = ::fork();
    if (root_ == 0) {
      ::close(ends[0]);
      ::setpgid(0, 0);
      runRoot(ends[1]);
    }
    ::close(ends[1]);
    if (root_ > 0) {
      ::setpgid(root_, root_);
      readReports(ends[0]);
    }
    ::close(ends[0]);
  }

  ~ForkedTree() {
    if (root_ <= 0) return;
    if (pids_[kMiddleLeaf] > 0 && pids_[kRootLeaf] > 0) {
      ::kill(pids_[kMiddleLeaf], SIGKILL);
      ::kill(pids_[kRootLeaf], SIGKILL);
      for (int i = 0; i < 500; ++i) {
        if (::waitpid(root_, nullptr, WNOHANG) == root_) return;
        ::usleep(10000);
      }
    }
    ::kill(-root_, SIGKILL);
    while (::waitpid(root_, nullptr, 0) < 0 && errno == EINTR) {
    }
  }

  bool complete() const {
    for (pid_t pid : pids_) {
      if (pid <= 0) return false;
    }
    return true;
  }
  pid_t pid(Role role) const { return pids_[role]; }

 private:
  struct Report {
    std::int32_t role;
    std::int32_t pid;
  };

  // Only async-signal-safe calls from here on: the forked processes end with _exit.
  [[noreturn]] static void runRoot(int reportFd) {
    pid_t middle = ::fork();
    if (middle == 0) {
      pid_t leaf = ::fork();
      if (leaf == 0) {
        report(reportFd, kMiddleLeaf);
        waitForSignal();
      }
      report(reportFd, kMiddle);
      reapChildrenAndExit();
    }
    pid_t leaf = ::fork();
    if (leaf == 0) {
      report(reportFd, kRootLeaf);
      waitForSignal();
    }
    report(reportFd, kRoot);
    reapChildrenAndExit();
  }

  static void report(int fd, Role role) {
    Report r{role, static_cast<std::int32_t>(::getpid())};
    (void)!::write(fd, &r, sizeof r);
    ::close(fd);
  }

  [[noreturn]] static void waitForSignal() {
    for (;;) ::pause();
  }

  [[noreturn]] static void reapChildrenAndExit() {
    while (::wait(nullptr) > 0 || errno == EINTR) {
    }
    ::_exit(0);
  }

  void readReports(int fd) {
    for (int received = 0; received < kRoleCount; ++received) {
      pollfd readable{fd, POLLIN, 0};
      if (::poll(&readable, 1, 10000) != 1) return;
      Report r{};
      if (::read(fd, &r, sizeof r) != static_cast<ssize_t>(sizeof r)) return;
      if (r.role < 0 || r.role >= kRoleCount) return;
      pids_[r.role] = r.pid;
    }
  }

  pid_t root_ = -1;
  pid_t pids_[kRoleCount] = {-1, -1, -1, -1};
};

TEST_F(ProcessTableSystemTest, PsGivesExactlyTheTreeBelowARoot) {
  ForkedTree tree;
  ASSERT_TRUE(tree.complete()) << "the test's process tree did not start";
  const pid_t root = tree.pid(ForkedTree::kRoot);
  const pid_t middle = tree.pid(ForkedTree::kMiddle);
  const pid_t middleLeaf = tree.pid(ForkedTree::kMiddleLeaf);
  const pid_t rootLeaf = tree.pid(ForkedTree::kRootLeaf);

  EXPECT_EQ(descendantPIDs(children_, root), (PIDSet{root, middle, middleLeaf, rootLeaf}));
  EXPECT_EQ(descendantPIDs(children_, middle), (PIDSet{middle, middleLeaf}));
  EXPECT_EQ(descendantPIDs(children_, rootLeaf), (PIDSet{rootLeaf}));

  PIDSet ours = descendantPIDs(children_, ::getpid());
  for (pid_t pid : {::getpid(), root, middle, middleLeaf, rootLeaf}) {
    EXPECT_TRUE(ours.contains(pid)) << pid;
  }
}

TEST_F(ProcessTableSystemTest, PsGivesTheRootAloneForAPIDItDoesNotList) {
  EXPECT_EQ(descendantPIDs(children_, -12345), (PIDSet{-12345}));
}

}  // namespace
}  // namespace velmuro::discovery
