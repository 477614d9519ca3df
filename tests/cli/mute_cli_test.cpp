// The mute commands end to end: the built binary on world files, with pgrep and ps run for real.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "cli/cli_runner.h"
#include "platform/sim/json.h"
#include "text/utf8.h"

extern char** environ;

namespace velmuro::testing {
namespace {

using namespace std::chrono_literals;

constexpr const char* kMuted = R"({"status":"muted"})";
constexpr const char* kUnmuted = R"({"status":"unmuted"})";

std::string readFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

const std::string& demoWorld() {
  static const std::string world = worldFile("demo.json");
  return world;
}

// The demo world with one more audio fault.
std::string demoWorldWithFault(const std::string& fault) {
  std::string world = demoWorld();
  std::size_t processesEnd = world.find("]", world.find("\"processes\""));
  return world.insert(processesEnd + 1, ", \"faults\": [" + fault + "]");
}

// A world whose process objects carry these PIDs, ids 201, 202, ... in order.
std::string worldWithPIDs(const std::vector<pid_t>& pids) {
  std::string processes;
  for (std::size_t i = 0; i < pids.size(); ++i) {
    if (i > 0) processes += ",";
    processes += "{\"id\":" + std::to_string(201 + i) + ",\"pid\":" + std::to_string(pids[i]) +
                 ",\"output\":true}";
  }
  return "{\"audio\":{\"processes\":[" + processes + "]}}";
}

// Every line parses as a JSON object: what the host does with each.
void expectJSONLines(const CliRun& run) {
  for (const std::string& line : run.lines) {
    EXPECT_TRUE(text::isValidUTF8(line)) << line;
    auto value = sim::json::parse(line);
    EXPECT_TRUE(value && value->isObject()) << line;
  }
}

// The process objects the tool asked to tap, in order.
std::vector<double> tapped(const CliRun& run) {
  std::vector<double> ids;
  auto taps = tracedCalls(run, "AudioHardwareCreateProcessTap");
  if (taps.empty()) return ids;
  for (const auto& id : taps[0].find("args")->find("processes")->asArray()) {
    ids.push_back(id.asNumber());
  }
  return ids;
}

std::string silencedAtEnd(const CliRun& run) {
  sim::json::Value state = finalState(run);
  if (state.isNull()) return "no final state";
  return sim::json::dump(*state.find("audio")->find("silenced"));
}

TEST(MuteCliTest, MuteByBundleIdentifierPrintsMutedThenUnmutedAndRestoresEverything) {
  CliRun run = runVelmuro({"us.zoom.xos"}, demoWorld(), "done\n");
  EXPECT_EQ(run.out, std::string(kMuted) + "\n" + kUnmuted + "\n");
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(tapped(run), (std::vector<double>{101}));  // the one playing audio
  EXPECT_EQ(silencedAtEnd(run), "[]");
  EXPECT_TRUE(finalState(run).find("audio")->find("taps")->asArray().empty());
}

TEST(MuteCliTest, EmptyLinesHoldAndAnyOtherLineReleases) {
  for (const std::string release : {" \n", "x", "\r\r\n", "unmute please\n"}) {
    VelmuroProcess tool({"com.microsoft.teams2"}, demoWorld());
    ASSERT_EQ(tool.readLine(), kMuted);
    tool.writeInput("\n");
    tool.writeInput("\r\n");
    EXPECT_TRUE(tool.staysQuiet(150ms)) << "released by an empty line";
    tool.writeInput(release);  // stdin stays open: the first character decides
    EXPECT_EQ(tool.readLine(), kUnmuted);
    CliRun run = tool.finish();
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_EQ(silencedAtEnd(run), "[]");
  }
}

TEST(MuteCliTest, EndOfInputReleases) {
  VelmuroProcess tool({"com.apple.Music"}, demoWorld());
  ASSERT_EQ(tool.readLine(), kMuted);
  tool.writeInput("\n\n");
  EXPECT_TRUE(tool.staysQuiet(100ms));
  tool.closeInput();
  EXPECT_EQ(tool.readLine(), kUnmuted);
  EXPECT_EQ(tool.finish().exitStatus, 0);
}

TEST(MuteCliTest, SignalDuringTheHoldEndsWithStatusZeroAndNoTeardown) {
  for (int sig : {SIGTERM, SIGINT}) {
    VelmuroProcess tool({"us.zoom.xos"}, demoWorld());
    ASSERT_EQ(tool.readLine(), kMuted);
    tool.sendSignal(sig);
    std::this_thread::sleep_for(100ms);
    CliRun run = tool.finish();
    EXPECT_EQ(run.exitStatus, 0) << sig;
    EXPECT_EQ(run.signal, 0);
    EXPECT_EQ(run.out, std::string(kMuted) + "\n");
    EXPECT_TRUE(tracedCalls(run, "AudioDeviceStop").empty());
    EXPECT_TRUE(tracedCalls(run, "AudioHardwareDestroyProcessTap").empty());
    EXPECT_TRUE(finalState(run).isNull());  // ended at once, no exit handlers
  }
}

TEST(MuteCliTest, NotFoundNamesTheTargetsAndExitsOne) {
  CliRun run = runVelmuro({"zoom.us", "Microsoft Teams", "99999"}, demoWorld());
  EXPECT_EQ(run.out,
            "{\"error\":\"zoom.us, Microsoft Teams audio process not found. Make sure it is "
            "running and playing audio.\"}\n");
  EXPECT_EQ(run.exitStatus, 1);
}

TEST(MuteCliTest, ExplicitPIDMutesItsObjectEvenWhenSilent) {
  CliRun run = runVelmuro({"anything", "+4105"}, demoWorld(), "\n \n");
  EXPECT_EQ(run.lines, (std::vector<std::string>{kMuted, kUnmuted}));
  EXPECT_EQ(tapped(run), (std::vector<double>{105}));
}

TEST(MuteCliTest, FailureLineIsTheOnlyAndLastLine) {
  struct Case {
    std::string fault;
    std::string line;
  };
  const std::vector<Case> cases = {
      {R"({"call":"AudioHardwareCreateProcessTap","status":"!hog"})",
       R"({"error":"Screen & System Audio Recording permission required. Grant it in System Settings > Privacy & Security.","errorCode":"permission_required"})"},
      {R"({"call":"AudioHardwareCreateProcessTap","status":"nope"})",
       R"j({"error":"AudioHardwareCreateProcessTap failed: 1852797029 (nope)"})j"},
      {R"({"call":"AudioObjectGetPropertyData","selector":"tuid","status":-10})",
       R"({"error":"Failed to get tap UID: -10"})"},
      {R"({"call":"AudioDeviceStart","status":-50})",
       R"({"error":"AudioDeviceStart failed: -50"})"},
  };
  for (const Case& c : cases) {
    CliRun run = runVelmuro({"us.zoom.xos"}, demoWorldWithFault(c.fault), "x\n");
    EXPECT_EQ(run.out, c.line + "\n");
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_EQ(silencedAtEnd(run), "[]") << c.fault;
    EXPECT_TRUE(finalState(run).find("audio")->find("taps")->asArray().empty());
  }
}

TEST(MuteCliTest, UsageAndArgumentErrors) {
  CliRun usage = runVelmuro({}, demoWorld());
  EXPECT_EQ(usage.out, "{\"error\":\"Usage: Velmuro <process-name-or-bundle-id>... [pid]\"}\n");
  EXPECT_EQ(usage.exitStatus, 1);

  const std::string noTree = "{\"error\":\"Could not resolve own process tree for system mute\"}\n";
  for (std::vector<std::string> args : {std::vector<std::string>{"--system"},
                                        {"--system", "host"},
                                        {"--system", ""},
                                        {"--system", "+"}}) {
    CliRun run = runVelmuro(args, demoWorld());
    EXPECT_EQ(run.out, noTree);
    EXPECT_EQ(run.exitStatus, 1);
  }
}

TEST(MuteCliTest, InvalidBytesInATargetStillGiveAValidLine) {
  CliRun run = runVelmuro({"zo\xFFom"}, demoWorld());
  EXPECT_EQ(run.out,
            "{\"error\":\"zo\xEF\xBF\xBDom audio process not found. Make sure it is running and "
            "playing audio.\"}\n");
  expectJSONLines(run);
}

TEST(MuteCliTest, PermissionCommandsPrintOneWordAndExitZero) {
  CliRun check = runVelmuro({"check-audio-permission", "ignored"}, demoWorld());
  EXPECT_EQ(check.out, "{\"status\":\"granted\"}\n");
  EXPECT_EQ(check.exitStatus, 0);

  std::string missing =
      R"({"audio":{"processes":[{"id":7,"pid":1}]},"privacy":{"framework":false}})";
  CliRun request = runVelmuro({"request-audio-permission"}, missing);
  EXPECT_EQ(request.out, "{\"status\":\"unknown\"}\n");
  EXPECT_EQ(request.exitStatus, 0);
  EXPECT_EQ(tracedCalls(request, "AudioHardwareCreateProcessTap").size(), 1u);

  std::string prompt =
      R"({"audio":{"processes":[{"id":7,"pid":1}]},"privacy":{"preflight":2,"afterPrompt":0}})";
  EXPECT_EQ(runVelmuro({"request-audio-permission"}, prompt).out, "{\"status\":\"granted\"}\n");
}

TEST(MuteCliTest, LateProbeFailureComesBeforeTheWordAndExitsZero) {
  std::string world =
      R"({"audio":{"processes":[{"id":7,"pid":1}],"faults":[{"call":"AudioHardwareCreateAggregateDevice","status":-1}]},"privacy":{"preflight":2,"afterPrompt":0}})";
  CliRun run = runVelmuro({"request-audio-permission"}, world);
  EXPECT_EQ(run.lines, (std::vector<std::string>{
                           R"({"error":"AudioHardwareCreateAggregateDevice failed: -1"})",
                           R"({"status":"granted"})"}));
  EXPECT_EQ(run.exitStatus, 0);
}

TEST(MuteCliTest, MissingOrBrokenWorldIsReportedOnOneLine) {
  CliRun noWorld = runVelmuro({"us.zoom.xos"}, std::nullopt);
  EXPECT_EQ(noWorld.lines.size(), 1u);
  EXPECT_EQ(noWorld.exitStatus, 1);
  expectJSONLines(noWorld);

  CliRun broken = runVelmuro({"us.zoom.xos"}, "{\"audio\":{\"processes\":[{\"pid\":1}]}}");
  ASSERT_EQ(broken.lines.size(), 1u);
  EXPECT_NE(broken.lines[0].find("audio.processes[0].id"), std::string::npos) << broken.lines[0];
  EXPECT_EQ(broken.exitStatus, 1);
}

// Copies of sleep started by the test under a unique name.
class NamedProcesses {
 public:
  NamedProcesses(const std::string& name, int count) {
    dir_ = std::filesystem::temp_directory_path() / ("velmuro-" + name);
    std::filesystem::create_directories(dir_);
    std::string path = (dir_ / name).string();
    std::filesystem::copy_file("/bin/sleep", path,
                               std::filesystem::copy_options::overwrite_existing);
    char* argv[] = {path.data(), const_cast<char*>("30"), nullptr};
    for (int i = 0; i < count; ++i) {
      pid_t pid = -1;
      if (posix_spawn(&pid, path.c_str(), nullptr, nullptr, argv, environ) == 0) {
        pids_.push_back(pid);
      }
    }
  }
  ~NamedProcesses() {
    for (pid_t pid : pids_) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
    }
    std::filesystem::remove_all(dir_);
  }
  const std::vector<pid_t>& pids() const { return pids_; }

 private:
  std::filesystem::path dir_;
  std::vector<pid_t> pids_;
};

TEST(MuteCliTest, ProcessNameIsFoundWithTheRealPgrep) {
  if (!std::filesystem::exists("/usr/bin/pgrep")) GTEST_SKIP() << "no /usr/bin/pgrep";
  const std::string name = "vmcli" + std::to_string(::getpid() % 100000);
  NamedProcesses copies(name, 2);
  ASSERT_EQ(copies.pids().size(), 2u);
  std::string world = worldWithPIDs({1, copies.pids()[0], copies.pids()[1]});
  CliRun run = runVelmuro({name}, world, "\n");
  EXPECT_EQ(run.lines, (std::vector<std::string>{kMuted, kUnmuted}));
  EXPECT_EQ(tapped(run), (std::vector<double>{202, 203}));

  CliRun other = runVelmuro({name + "x"}, world);
  EXPECT_EQ(other.exitStatus, 1);
}

TEST(MuteCliTest, SystemMuteSparesTheHostTreeFoundWithTheRealPs) {
  if (!std::filesystem::exists("/bin/ps")) GTEST_SKIP() << "no /bin/ps";
  if (!std::filesystem::exists("/proc/self/task")) GTEST_SKIP() << "no /proc to find the children";
  // The host: a shell with two children of its own.
  pid_t host = -1;
  char* argv[] = {const_cast<char*>("/bin/sh"), const_cast<char*>("-c"),
                  const_cast<char*>("sleep 30 & sleep 30 & wait"), nullptr};
  ASSERT_EQ(posix_spawn(&host, "/bin/sh", nullptr, nullptr, argv, environ), 0);
  std::vector<pid_t> children;
  for (int attempt = 0; attempt < 100 && children.size() < 2; ++attempt) {
    std::this_thread::sleep_for(10ms);
    children.clear();
    std::istringstream list(
        readFile("/proc/" + std::to_string(host) + "/task/" + std::to_string(host) + "/children"));
    for (pid_t child; list >> child;) children.push_back(child);
  }
  ASSERT_EQ(children.size(), 2u);

  std::string world = worldWithPIDs({1, children[0], ::getpid(), children[1], host});
  CliRun run = runVelmuro({"--system", std::to_string(host)}, world, "\n");
  EXPECT_EQ(run.lines, (std::vector<std::string>{kMuted, kUnmuted}));
  // The global tap leaves out the host's tree: its two children and the host itself.
  EXPECT_EQ(tapped(run), (std::vector<double>{202, 204, 205}));
  auto start = tracedCalls(run, "AudioDeviceStart");
  ASSERT_EQ(start.size(), 1u);
  EXPECT_EQ(sim::json::dump(*start[0].find("args")->find("silenced")), "[201,203]");

  for (pid_t child : children) ::kill(child, SIGKILL);
  ::kill(host, SIGKILL);
  ::waitpid(host, nullptr, 0);
}

}  // namespace
}  // namespace velmuro::testing
