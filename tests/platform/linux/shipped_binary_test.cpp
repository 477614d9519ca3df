// The tool a host ships reads no environment: a world file named for the simulated desktop is
// never opened, and no trace is written.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

TEST(ShippedBinaryTest, IgnoresTheSimulatedDesktopsEnvironment) {
  char dir[] = "/tmp/velmuro-shipped-XXXXXX";
  ASSERT_NE(::mkdtemp(dir), nullptr);
  std::string world = std::string(dir) + "/world.json";
  std::string trace = std::string(dir) + "/trace.jsonl";
  std::ofstream(world) << R"({"privacy": {"preflight": 1}})";

  std::string command = "VELMURO_SIM_WORLD='" + world + "' VELMURO_SIM_TRACE='" + trace + "' '" +
                        VELMURO_TOOL_BINARY + "' check-audio-permission </dev/null";
  FILE* pipe = ::popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::string out;
  char buffer[256];
  while (std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) out.append(buffer, n);
  ::pclose(pipe);

  EXPECT_NE(out, "{\"status\":\"denied\"}\n");
  EXPECT_FALSE(std::filesystem::exists(trace));
  std::filesystem::remove_all(dir);
}

}  // namespace
