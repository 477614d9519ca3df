// The simulated desktop's own promises, end to end: what it says about world files it cannot
// use, how it reads them, and what its trace tells about a run.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "cli/cli_runner.h"
#include "platform/sim/json.h"
#include "platform/sim/sim_platform.h"
#include "text/utf8.h"

namespace velmuro::testing {
namespace {

constexpr const char* kOpenFailed = "Could not open the simulated desktop: ";
constexpr const char* kLink = "https://us05web.zoom.us/j/81234567890?pwd=demo";

// The error line the tool prints for this message: '/' and '"' escaped as on every line.
std::string errorLine(const std::string& message) {
  std::string line = R"({"error":")";
  for (char c : message) {
    if (c == '/' || c == '"') line += '\\';
    line += c;
  }
  return line + "\"}";
}

// A directory of its own for files the test names, removed at the end.
class ScratchDirectory {
 public:
  ScratchDirectory() {
    char pattern[] = "/tmp/velmuro-sim-XXXXXX";
    path_ = ::mkdtemp(pattern) ? pattern : "";
  }
  ~ScratchDirectory() { std::filesystem::remove_all(path_); }
  const std::string& path() const { return path_; }
  std::string write(const std::string& name, const std::string& text) const {
    std::string file = path_ + "/" + name;
    std::ofstream(file, std::ios::binary) << text;
    return file;
  }

 private:
  std::string path_;
};

void expectOnlyLine(const CliRun& run, const std::string& line, int exitStatus) {
  EXPECT_EQ(run.out, line + "\n");
  EXPECT_EQ(run.exitStatus, exitStatus);
  EXPECT_EQ(run.signal, 0);
  EXPECT_TRUE(run.err.empty()) << run.err;
}

TEST(SimWorldCliTest, ErrorLinesAboutOutsideBytesAreAlwaysPrinted) {
  ScratchDirectory dir;
  const std::string dirShown = dir.path();
  const std::string fffd = "\xEF\xBF\xBD";

  expectOnlyLine(runVelmuroWith({"check-audio-permission"},
                                {"VELMURO_SIM_WORLD=" + dir.path() + "/no\xFFne.json"}),
                 errorLine(kOpenFailed + ("cannot read " + dirShown + "/no" + fffd +
                                          "ne.json: No such file or directory")),
                 1);

  const std::pair<std::string, std::string> worlds[] = {
      {"{\"applications\": [{\"bundleId\": \"x\", \"pid\": 1, \"id\": \"a\xFF\", "
       "\"windows\": [{\"id\": \"a\xFF\"}]}]}",
       "applications: the node id \"a" + fffd + "\" is used twice"},
      {"{\"au\xFF"
       "dio\": {}}",
       "unknown member \"au" + fffd +
           "dio\" (a world file holds audio, privacy, accessibility, applications, pasteboard, "
           "timeline)"},
      {"{\"audio\": {\"processes\": [{\"id\": 5, \"p\xC0id\": 1}]}}",
       "audio.processes[0]: unknown member \"p" + fffd + "id\""},
      {"{\"applications\": [{\"bundleId\": \"x\", \"pid\": 1, \"attributes\": "
       "{\"AX\xE2\x82\": {\"url\": 1}}}]}",
       "applications[0].attributes.AX" + fffd + ".url: expected a string"},
  };
  for (const auto& [world, message] : worlds) {
    std::string path = dir.write("w\xFF.json", world);
    expectOnlyLine(runVelmuroWith({"check-audio-permission"}, {"VELMURO_SIM_WORLD=" + path}),
                   errorLine(kOpenFailed + message), 1);
  }

  std::string world = dir.write("good.json", "{}");
  expectOnlyLine(runVelmuroWith({"check-audio-permission"},
                                {"VELMURO_SIM_WORLD=" + world,
                                 "VELMURO_SIM_TRACE=" + dir.path() + "/gone\xFF/trace"}),
                 errorLine(kOpenFailed + ("cannot write " + dirShown + "/gone" + fffd +
                                          "/trace: No such file or directory")),
                 1);
}

TEST(SimWorldCliTest, AWorldFileIsReadUpToItsCapAndNoFurther) {
  const std::string tooLarge =
      "a world file holds at most " + std::to_string(sim::kMaxWorldFileBytes) + " bytes (16 MiB)";
  // An endless file ends in a line, not in an allocation failure.
  expectOnlyLine(runVelmuroWith({"check-audio-permission"}, {"VELMURO_SIM_WORLD=/dev/zero"}),
                 errorLine(kOpenFailed + ("cannot read /dev/zero: " + tooLarge)), 1);

  ScratchDirectory dir;
  std::string full = "{}" + std::string(sim::kMaxWorldFileBytes - 2, ' ');
  expectOnlyLine(runVelmuroWith({"check-audio-permission"},
                                {"VELMURO_SIM_WORLD=" + dir.write("full.json", full)}),
                 R"({"status":"granted"})", 0);
  std::string path = dir.write("over.json", full + " ");
  expectOnlyLine(runVelmuroWith({"check-audio-permission"}, {"VELMURO_SIM_WORLD=" + path}),
                 errorLine(kOpenFailed + ("cannot read " + path + ": " + tooLarge)), 1);
  expectOnlyLine(runVelmuroWith({"check-audio-permission"}, {"VELMURO_SIM_WORLD=" + dir.path()}),
                 errorLine(kOpenFailed + ("cannot read " + dir.path() + ": Is a directory")), 1);
}

TEST(SimWorldCliTest, WorldsHoldOnlyWhatIsDocumented) {
  const std::pair<std::string, std::string> worlds[] = {
      {R"({"bogus": 1})", "unknown member \"bogus\""},
      {R"({"audio": {"faults": [{"call": "AudioDeviceStrat", "status": -50}]}})",
       "audio.faults[0].call: \"AudioDeviceStrat\" is not a call the tool makes"},
      {R"({"audio": {"faults": [{"call": "AudioObjectGetPropertyData", "selector": "pid ",
                                 "status": -50}]}})",
       "audio.faults[0].selector: not a selector the tool reads"},
      {R"({"accessibility": {"trusted": true, "trusted": false}})",
       "not valid JSON: member \"trusted\" given twice"},
  };
  for (const auto& [world, message] : worlds) {
    CliRun run = runVelmuro({"com.example.player"}, world);
    ASSERT_EQ(run.lines.size(), 1u) << world;
    std::string start = errorLine(kOpenFailed + message);
    start.resize(start.size() - 2);  // the message goes on with the place or the choices
    EXPECT_EQ(run.lines[0].substr(0, start.size()), start);
    EXPECT_EQ(run.exitStatus, 1);
  }
}

// The calls of a traced run, each with the time it began.
std::vector<std::pair<std::string, double>> timedCalls(const CliRun& run) {
  std::vector<std::pair<std::string, double>> calls;
  for (const sim::json::Value& line : run.trace) {
    const sim::json::Value* call = line.find("call");
    const sim::json::Value* at = line.find("atMs");
    if (!call) continue;
    EXPECT_TRUE(at && at->isNumber()) << sim::json::dump(line);
    calls.emplace_back(call->asString(), at && at->isNumber() ? at->asNumber() : -1);
  }
  return calls;
}

TEST(SimWorldCliTest, APressThatBlocksPastTheTimeoutStillCopiesTheLinkAndTheTraceShowsWhen) {
  std::string world = replaced(worldFile("zoom-meeting.json"), R"("title": "Copy Invite Link",)",
                               R"("title": "Copy Invite Link", "actionLatencyMs": 1500,)");
  CliRun run = runVelmuro({"ax-zoom-invite-link"}, world);
  expectOnlyLine(
      run, R"({"status":"ok","text":"https:\/\/us05web.zoom.us\/j\/81234567890?pwd=demo"})", 0);

  std::vector<std::pair<std::string, double>> calls = timedCalls(run);
  for (std::size_t i = 1; i < calls.size(); ++i) {
    EXPECT_LE(calls[i - 1].second, calls[i].second) << calls[i].first;
  }
  std::size_t press = 0;
  while (press < calls.size() && calls[press].first != "AXUIElementPerformAction") ++press;
  ASSERT_LT(press + 1, calls.size());
  std::vector<sim::json::Value> presses = tracedCalls(run, "AXUIElementPerformAction");
  ASSERT_EQ(presses.size(), 1u);
  EXPECT_EQ(presses[0].find("result")->asNumber(), -25204);  // kAXErrorCannotComplete
  // The tool waited the 1-second timeout; Zoom pressed at 1.5 s and wrote 250 ms later.
  double pressed = calls[press].second;
  EXPECT_EQ(calls[press + 1].second, pressed + 1000);
  std::vector<sim::json::Value> counts = tracedCalls(run, "changeCount");
  ASSERT_GE(counts.size(), 3u);
  double baseline = counts[0].find("result")->asNumber();
  double firstChange = -1;
  for (const sim::json::Value& count : counts) {
    if (count.find("result")->asNumber() != baseline) {
      firstChange = count.find("atMs")->asNumber();
      break;
    }
  }
  EXPECT_GE(firstChange, pressed + 1750);
  EXPECT_LT(firstChange, pressed + 1750 + 100 + 1);
  EXPECT_NE(sim::json::dump(*finalState(run).find("desktop")->find("pasteboard"))
                .find("notes from the last call"),
            std::string::npos);
}

TEST(SimWorldCliTest, ThePlainTextOfEveryItemIsTheString) {
  std::string world = replaced(
      worldFile("zoom-meeting.json"),
      R"([{"type": "public.utf8-plain-text", "text": "https://us05web.zoom.us/j/81234567890?pwd=demo"}])",
      std::string(R"([{"type": "public.utf8-plain-text", "text": "Meeting ID: 812 3456 7890"}],)") +
          R"([{"type": "public.url", "text": "x"}],)" +
          R"([{"type": "public.utf8-plain-text", "text": ")" + kLink + R"("}])");
  expectOnlyLine(
      runVelmuro({"ax-zoom-invite-link"}, world),
      R"({"status":"ok","text":"Meeting ID: 812 3456 7890\nhttps:\/\/us05web.zoom.us\/j\/)"
      R"(81234567890?pwd=demo"})",
      0);
}

TEST(SimWorldCliTest, TraceLinesAreValidUTF8WhateverBytesTheWorldHeld) {
  std::string world = replaced(worldFile("zoom-meeting.json"), R"("id": "copyInviteLink")",
                               "\"id\": \"copy\xFFLink\"");
  world = replaced(world, R"("type": "public.rtf")", "\"type\": \"public.r\xF4\x90tf\"");
  world = replaced(world, R"("id": "menuBar")", "\"id\": \"menu\xC3\"");
  CliRun run = runVelmuro({"ax-zoom-invite-link"}, world);
  ASSERT_EQ(run.lines.size(), 1u);
  EXPECT_NE(run.lines[0].find(R"("status":"ok")"), std::string::npos) << run.lines[0];

  std::istringstream trace(run.traceText);
  std::size_t lines = 0;
  for (std::string line; std::getline(trace, line); ++lines) {
    EXPECT_TRUE(text::isValidUTF8(line)) << line;
    EXPECT_TRUE(sim::json::parse(line)) << line;
  }
  EXPECT_GT(lines, 10u);
  EXPECT_EQ(lines, run.trace.size());
  std::vector<sim::json::Value> presses = tracedCalls(run, "AXUIElementPerformAction");
  ASSERT_EQ(presses.size(), 1u);
  EXPECT_EQ(presses[0].find("args")->find("element")->asString(), "copy\xEF\xBF\xBDLink");
  EXPECT_NE(run.traceText.find("\"public.r\xEF\xBF\xBD\xEF\xBF\xBDtf\""), std::string::npos);
}

}  // namespace
}  // namespace velmuro::testing
