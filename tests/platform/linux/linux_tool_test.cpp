// The shipped tool on Linux where no sound server answers, and its commands that need none.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>

#include "platform/linux/test_process.h"

namespace velmuro::testing {
namespace {

using namespace std::chrono_literals;

struct ToolResult {
  std::vector<std::string> lines;
  std::optional<int> exitStatus;
  std::chrono::milliseconds took;
};

// Runs the tool with no sound server to find: a private runtime directory with no socket in it.
ToolResult runWithoutServer(const TemporaryDirectory& directory,
                            const std::vector<std::string>& arguments) {
  Environment environment{{"XDG_RUNTIME_DIR", directory.path()},
                          {"HOME", directory.path()},
                          {"PULSE_SERVER", "unix:" + directory.path() + "/pulse/native"}};
  auto start = std::chrono::steady_clock::now();
  Process tool(VELMURO_TOOL_BINARY, arguments, environment);
  tool.closeInput();
  ToolResult result;
  while (std::optional<std::string> line = tool.readLine(5s)) result.lines.push_back(*line);
  result.exitStatus = tool.wait(5s);
  result.took = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - start);
  return result;
}

TEST(LinuxToolTest, WithoutASoundServerAProcessMuteFindsNothingAtOnce) {
  TemporaryDirectory directory;
  ToolResult result = runWithoutServer(directory, {"zoom.us", "us.zoom.xos"});
  EXPECT_EQ(result.lines,
            std::vector<std::string>{R"({"error":"zoom.us, us.zoom.xos audio process not found. )"
                                     R"(Make sure it is running and playing audio."})"});
  EXPECT_EQ(result.exitStatus, 1);
  EXPECT_LT(result.took, 1s);
}

TEST(LinuxToolTest, WithoutASoundServerTheSystemMuteFailsAsARefusedTap) {
  TemporaryDirectory directory;
  ToolResult result = runWithoutServer(directory, {"--system", std::to_string(::getpid())});
  EXPECT_EQ(result.lines,
            std::vector<std::string>{
                R"json({"error":"AudioHardwareCreateProcessTap failed: 1937010544 (stop)"})json"});
  EXPECT_EQ(result.exitStatus, 1);
  EXPECT_LT(result.took, 1s);
}

TEST(LinuxToolTest, TheCapturePermissionIsAlwaysGranted) {
  TemporaryDirectory directory;
  for (const char* command : {"check-audio-permission", "request-audio-permission"}) {
    ToolResult result = runWithoutServer(directory, {command});
    EXPECT_EQ(result.lines, std::vector<std::string>{R"({"status":"granted"})"}) << command;
    EXPECT_EQ(result.exitStatus, 0) << command;
  }
}

}  // namespace
}  // namespace velmuro::testing
