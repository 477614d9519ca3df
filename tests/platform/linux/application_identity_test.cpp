// Application identity on Linux: the rules on a process table of the test's own making, and on
// real processes the test starts (by executable, oldest first, and in an application scope).
#include "platform/linux/application_identity.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "platform/linux/accessibility/reader_runs.h"
#include "platform/linux/desktop/application_scope.h"
#include "platform/linux/test_process.h"

namespace velmuro::linux_desktop {
namespace {

using namespace std::chrono_literals;
using testing::TemporaryDirectory;

// What a fake process table entry holds; empty fields are left out.
struct FakeProcess {
  FakeProcess& started(std::uint64_t ticks) {
    startTime = ticks;
    return *this;
  }
  FakeProcess& runs(std::string path) {
    executable = std::move(path);
    return *this;
  }
  FakeProcess& inCgroups(std::string text) {
    cgroup = std::move(text);
    return *this;
  }
  FakeProcess& withEnvironment(std::string text) {
    environment = std::move(text);
    return *this;
  }
  FakeProcess& inFlatpak(std::string info) {
    flatpakInfo = std::move(info);
    return *this;
  }

  std::uint64_t startTime = 100;
  std::string executable = "/usr/bin/program";
  std::string cgroup;
  std::string environment;
  std::string flatpakInfo;
};

// A process table in a directory, laid out as /proc is.
class FakeProcTable {
 public:
  const std::string& root() const { return directory_.path(); }

  std::string add(pid_t pid, const FakeProcess& process) {
    std::string dir = root() + "/" + std::to_string(pid);
    std::filesystem::create_directories(dir + "/root");
    std::ofstream(dir + "/stat") << pid
                                 << " (prog ram) S 1 1 1 0 -1 4194560 1 0 0 0 0 0 0 0 20 0 1 "
                                    "0 "
                                 << process.startTime << " 1000 100 0\n";
    if (!process.executable.empty())
      std::filesystem::create_symlink(process.executable, dir + "/exe");
    if (!process.cgroup.empty()) std::ofstream(dir + "/cgroup") << process.cgroup;
    if (!process.environment.empty()) std::ofstream(dir + "/environ") << process.environment;
    if (!process.flatpakInfo.empty())
      std::ofstream(dir + "/root/.flatpak-info") << process.flatpakInfo;
    return dir;
  }

 private:
  TemporaryDirectory directory_;
};

std::string environment(std::initializer_list<std::string> variables) {
  std::string text;
  for (const std::string& variable : variables) text += variable + std::string(1, '\0');
  return text;
}

TEST(ApplicationIdentityTest, AFlatpakIsNamedByItsApplicationIdBeforeAnythingElse) {
  FakeProcTable table;
  table.add(10, FakeProcess()
                    .inCgroups("0::/user.slice/app.slice/app-gnome-other-1.scope\n")
                    .inFlatpak("[Instance]\nname=ignored\n[Application]\nname=org.mozilla.firefox\n"
                               "runtime=runtime/org.freedesktop.Platform\n"));
  EXPECT_EQ(applicationIdentity(10, table.root()), "org.mozilla.firefox");
}

TEST(ApplicationIdentityTest, AShellsApplicationScopeNamesTheApplicationWithItsEscapesUndone) {
  FakeProcTable table;
  table.add(11,
            FakeProcess().inCgroups("0::/user.slice/user-1000.slice/user@1000.service/app.slice/"
                                    "app-gnome-teams\\x2dfor\\x2dlinux-4242.scope\n"));
  table.add(12,
            FakeProcess().inCgroups("0::/user.slice/user-1000.slice/user@1000.service/app.slice/"
                                    "app-org.gnome.Terminal-77.scope\n"));
  // cgroups v1 with systemd's own hierarchy.
  table.add(13, FakeProcess().inCgroups(
                    "4:memory:/user.slice\n1:name=systemd:/user.slice/user-1000.slice/"
                    "user@1000.service/app.slice/app-kde-us.zoom.Zoom-9.scope\n0::/\n"));
  EXPECT_EQ(applicationIdentity(11, table.root()), "teams-for-linux");
  EXPECT_EQ(applicationIdentity(12, table.root()), "org.gnome.Terminal");
  EXPECT_EQ(applicationIdentity(13, table.root()), "us.zoom.Zoom");
}

TEST(ApplicationIdentityTest, OtherUnitsAndMalformedScopesFallThroughToTheNextRule) {
  FakeProcTable table;
  table.add(20, FakeProcess()
                    .runs("/usr/lib/chromium/chromium")
                    .inCgroups("0::/user.slice/user-1000.slice/session-2.scope\n"));
  table.add(
      21,
      FakeProcess().runs("/usr/bin/a").inCgroups("0::/user.slice/app.slice/app-x-y-z-1.scope\n"));
  table.add(22, FakeProcess().runs("/usr/bin/b").inCgroups("0::/app.slice/app-gnome--5.scope\n"));
  EXPECT_EQ(applicationIdentity(20, table.root()), "chromium");
  EXPECT_EQ(applicationIdentity(21, table.root()), "a");
  EXPECT_EQ(applicationIdentity(22, table.root()), "b");
}

TEST(ApplicationIdentityTest, TheLaunchersDesktopFileCountsOnlyForTheProcessItLaunched) {
  FakeProcTable table;
  const std::string file =
      "GIO_LAUNCHED_DESKTOP_FILE=/usr/share/applications/org.example.Editor.desktop";
  table.add(30, FakeProcess()
                    .runs("/usr/bin/editor")
                    .withEnvironment(
                        environment({"HOME=/home/u", file, "GIO_LAUNCHED_DESKTOP_FILE_PID=30"})));
  // A program started from the launched one inherits the variables.
  table.add(31, FakeProcess()
                    .runs("/usr/bin/child")
                    .withEnvironment(environment({file, "GIO_LAUNCHED_DESKTOP_FILE_PID=30"})));
  EXPECT_EQ(applicationIdentity(30, table.root()), "org.example.Editor");
  EXPECT_EQ(applicationIdentity(31, table.root()), "child");
}

TEST(ApplicationIdentityTest, ElseTheExecutablesFileNameEvenWhenReplacedOnDisk) {
  FakeProcTable table;
  table.add(40, FakeProcess().runs("/usr/lib/firefox-esr/firefox-esr (deleted)"));
  table.add(41, FakeProcess().runs(""));
  EXPECT_EQ(applicationIdentity(40, table.root()), "firefox-esr");
  EXPECT_EQ(applicationIdentity(41, table.root()), "");
  EXPECT_EQ(applicationIdentity(42, table.root()), "");
}

TEST(ApplicationIdentityTest, TheMeetingClientsBundleIdentifiersNameTheirLinuxIds) {
  for (const char* teams :
       {"teams-for-linux", "com.github.IsmaelMartinez.teams_for_linux", "com.microsoft.teams2"}) {
    EXPECT_TRUE(isApplicationNamed(teams, "com.microsoft.teams2")) << teams;
  }
  for (const char* zoom : {"zoom", "Zoom", "us.zoom.Zoom", "us.zoom.xos"}) {
    EXPECT_TRUE(isApplicationNamed(zoom, "us.zoom.xos")) << zoom;
  }
  EXPECT_FALSE(isApplicationNamed("teams", "com.microsoft.teams2"));
  EXPECT_FALSE(isApplicationNamed("ZOOM", "us.zoom.xos"));
  EXPECT_FALSE(isApplicationNamed("zoom", "com.microsoft.teams2"));
  // The aliases go one way: a Linux ID names only itself.
  EXPECT_FALSE(isApplicationNamed("us.zoom.xos", "zoom"));
  EXPECT_TRUE(isApplicationNamed("chromium", "chromium"));
  EXPECT_FALSE(isApplicationNamed("", ""));
}

TEST(ApplicationIdentityTest, RunningProcessesComeOldestFirstWhateverTheirPids) {
  FakeProcTable table;
  // PIDs wrap around: the oldest process can have the highest PID.
  table.add(900, FakeProcess().started(5).runs("/usr/bin/teams-for-linux"));
  table.add(30, FakeProcess().started(70).runs("/usr/bin/teams-for-linux"));
  table.add(31, FakeProcess().started(70).runs("/usr/bin/teams-for-linux"));
  table.add(40, FakeProcess().started(1).runs("/usr/bin/other"));
  EXPECT_EQ(processesOfApplication("com.microsoft.teams2", table.root()),
            (std::vector<pid_t>{900, 30, 31}));
  EXPECT_EQ(processesOfApplication("teams-for-linux", table.root()),
            (std::vector<pid_t>{900, 30, 31}));
  EXPECT_TRUE(processesOfApplication("nothing", table.root()).empty());
}

TEST(ApplicationIdentityTest, OnlyThisUsersProcessesCount) {
  VELMURO_REQUIRE_SERVICE(::geteuid() == 0, "giving a process entry to another user needs root");
  FakeProcTable table;
  table.add(50, FakeProcess().started(1).runs("/usr/bin/shared"));
  std::string other = table.add(51, FakeProcess().started(2).runs("/usr/bin/shared"));
  ASSERT_EQ(::lchown(other.c_str(), 65534, 65534), 0);
  EXPECT_EQ(processesOfApplication("shared", table.root()), (std::vector<pid_t>{50}));
}

// Real processes of a copy of sleep under a name no other process has.
class RealProcessIdentityTest : public ::testing::Test {
 protected:
  std::string program(const std::string& prefix) {
    std::string path = directory_.path() + "/" + testing::uniqueProcessName(prefix);
    std::filesystem::copy_file("/bin/sleep", path);
    std::filesystem::permissions(path, std::filesystem::perms::owner_all);
    return path;
  }
  TemporaryDirectory directory_;
};

TEST_F(RealProcessIdentityTest, ARealProcessIsNamedByItsExecutableAndTheOldestComesFirst) {
  std::string path = program("vident");
  std::string name = std::filesystem::path(path).filename();
  testing::Process first(path, {"30"}, {});
  // Start times count in clock ticks (10 ms).
  std::this_thread::sleep_for(50ms);
  testing::Process second(path, {"30"}, {});
  auto deadline = std::chrono::steady_clock::now() + 5s;
  while (applicationIdentity(second.pid()) != name && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(5ms);
  }
  EXPECT_EQ(applicationIdentity(first.pid()), name);
  EXPECT_EQ(processesOfApplication(name), (std::vector<pid_t>{first.pid(), second.pid()}));
}

TEST_F(RealProcessIdentityTest, AProcessInAnApplicationScopeIsNamedByTheScope) {
  const std::string id = "org.velmuro.scoped-" + std::to_string(::getpid());
  std::string error;
  std::optional<testing::ApplicationScope> scope = testing::ApplicationScope::create(id, &error);
  VELMURO_REQUIRE_SERVICE(scope, error);
  std::string path = program("vscope");
  testing::Process scoped("/bin/sh", testing::commandInScope(*scope, path, {"30"}), {});
  auto deadline = std::chrono::steady_clock::now() + 5s;
  while (scope->processes().empty() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(5ms);
  }
  EXPECT_EQ(applicationIdentity(scoped.pid()), id);
  EXPECT_EQ(processesOfApplication(id), std::vector<pid_t>{scoped.pid()});
}

}  // namespace
}  // namespace velmuro::linux_desktop
