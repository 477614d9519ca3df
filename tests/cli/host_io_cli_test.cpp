// How the tool holds up against the descriptors and signal mask a host hands it: closed standard
// descriptors, non-blocking pipes, an output nobody reads, blocked end signals.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <string>
#include <thread>

#include "cli/cli_runner.h"
#include "platform/sim/json.h"

namespace velmuro::testing {
namespace {

using namespace std::chrono_literals;

constexpr const char* kMuted = R"({"status":"muted"})";
constexpr const char* kUnmuted = R"({"status":"unmuted"})";

const std::string& demoWorld() {
  static const std::string world = worldFile("demo.json");
  return world;
}

// True when every trace line is a record of the simulated desktop and none is a result line.
bool traceHoldsOnlyTraceLines(const std::vector<sim::json::Value>& trace) {
  for (const sim::json::Value& line : trace) {
    if (!line.find("call") && !line.find("final")) return false;
  }
  return !trace.empty();
}

// Whether the trace so far records a call of this name.
bool traced(const VelmuroProcess& tool, const std::string& call) {
  CliRun soFar;
  soFar.trace = tool.traceSoFar();
  return !tracedCalls(soFar, call).empty();
}

bool tornDown(const CliRun& run) {
  sim::json::Value state = finalState(run);
  return !state.isNull() && sim::json::dump(*state.find("audio")->find("silenced")) == "[]" &&
         state.find("audio")->find("taps")->asArray().empty() &&
         !tracedCalls(run, "AudioHardwareDestroyProcessTap").empty();
}

TEST(HostIoCliTest, ClosedStandardDescriptorsNeverCarryTheTraceOrTheLines) {
  // Input closed: end of input at once, so the mute is put in place and given back.
  VelmuroProcess noInput({"us.zoom.xos"}, demoWorld(), {.closedDescriptors = {0}});
  CliRun run = noInput.finish();
  EXPECT_EQ(run.lines, (std::vector<std::string>{kMuted, kUnmuted}));
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_TRUE(traceHoldsOnlyTraceLines(run.trace));

  // Output closed: the lines go nowhere, and above all not into the trace file.
  VelmuroProcess noOutput({"us.zoom.xos"}, demoWorld(), {.closedDescriptors = {1}});
  run = noOutput.finish();
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_TRUE(traceHoldsOnlyTraceLines(run.trace));
  EXPECT_TRUE(tornDown(run));

  VelmuroProcess none({"check-audio-permission"}, demoWorld(), {.closedDescriptors = {0, 1, 2}});
  run = none.finish();
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_TRUE(traceHoldsOnlyTraceLines(run.trace));
}

TEST(HostIoCliTest, LineLongerThanTheOutputPipeReachesANonBlockingOutputWhole) {
  std::string address = "https://example.com/" + std::string(300'000, 'a');
  std::string world = R"({"accessibility": {"trusted": true}, "applications": [
      {"bundleId": "com.example.browser", "pid": 4242,
       "windows": [{"id": "w", "document": ")" +
                      address + R"("}]}]})";
  VelmuroProcess tool({"ax-tab-addresses", "com.example.browser"}, world,
                      {.nonBlockingOutput = true});
  // Let the tool fill the pipe and find it full before anything is read.
  std::this_thread::sleep_for(200ms);
  CliRun run = tool.finish();
  std::string escaped = "https:\\/\\/example.com\\/" + std::string(300'000, 'a');
  EXPECT_EQ(run.out, R"({"status":"ok","addresses":[")" + escaped + "\"]}\n");
  EXPECT_EQ(run.exitStatus, 0);
}

TEST(HostIoCliTest, HoldWaitsOnANonBlockingInputUntilALineOrItsEnd) {
  VelmuroProcess tool({"us.zoom.xos"}, demoWorld(), {.nonBlockingInput = true});
  ASSERT_EQ(tool.readLine(), kMuted);
  EXPECT_TRUE(tool.staysQuiet(300ms)) << "released although no input came";
  tool.writeInput("\n\r\n");
  EXPECT_TRUE(tool.staysQuiet(150ms)) << "released by empty lines";
  tool.writeInput("go\n");
  EXPECT_EQ(tool.readLine(), kUnmuted);
  CliRun run = tool.finish();
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_TRUE(tornDown(run));

  VelmuroProcess ended({"us.zoom.xos"}, demoWorld(), {.nonBlockingInput = true});
  ASSERT_EQ(ended.readLine(), kMuted);
  ended.closeInput();
  EXPECT_EQ(ended.readLine(), kUnmuted);
  EXPECT_EQ(ended.finish().exitStatus, 0);
}

TEST(HostIoCliTest, HostThatStopsReadingGetsTheMuteHeldAndGivenBack) {
  VelmuroProcess tool({"us.zoom.xos"}, demoWorld(), {.outputReaderGone = true});
  // The mute is in place although its line could not be written, and it holds.
  auto deadline = std::chrono::steady_clock::now() + 10s;
  while (!traced(tool, "AudioDeviceStart") && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(10ms);
  }
  std::this_thread::sleep_for(100ms);
  EXPECT_TRUE(traced(tool, "AudioDeviceStart"));
  EXPECT_FALSE(traced(tool, "AudioDeviceStop"));
  // End of input still releases, and the run ends as a run does, not by SIGPIPE.
  CliRun run = tool.finish();
  EXPECT_EQ(run.signal, 0);
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_TRUE(tornDown(run));
}

TEST(HostIoCliTest, EndSignalsBlockedByTheHostStillEndTheTool) {
  for (int sig : {SIGTERM, SIGINT}) {
    VelmuroProcess tool({"us.zoom.xos"}, demoWorld(), {.blockedSignals = {SIGTERM, SIGINT}});
    ASSERT_EQ(tool.readLine(), kMuted);
    tool.sendSignal(sig);
    // Ended by the handler: output closes without "unmuted" although input stays open.
    EXPECT_EQ(tool.readLine(5s), std::nullopt) << sig;
    CliRun run = tool.finish();
    EXPECT_EQ(run.exitStatus, 0) << sig;
    EXPECT_EQ(run.out, std::string(kMuted) + "\n");
    EXPECT_TRUE(tracedCalls(run, "AudioDeviceStop").empty());
  }
}

}  // namespace
}  // namespace velmuro::testing
