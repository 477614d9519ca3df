// The shipped tool's mute against what befalls it on a real desktop, on PulseAudio and PipeWire:
// a home that can't be written.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/linux/audio/real_server_test.h"

namespace velmuro::testing {
namespace {

class RealServerFaultTest : public RealServerTest {};

TEST_P(RealServerFaultTest, NothingReachesStandardErrorWithAHomeThatCannotBeWritten) {
  std::string name = uniqueProcessName("vhome");
  startAudibleTone(name, 440, "Meeting " + name);
  int run = 0;
  // libpulse can't load or make its cookie under a home that is a file, or in /proc.
  for (const char* home : {"/dev/null", "/proc"}) {
    for (const std::string& target : {name, uniqueProcessName("vnone")}) {
      SCOPED_TRACE(std::string(home) + ", " + target);
      std::string errors = directory_.path() + "/errors" + std::to_string(++run);
      Process tool("/bin/sh",
                   {"-c", "exec \"$0\" \"$1\" 2>\"$2\"", VELMURO_TOOL_BINARY, target, errors},
                   withVariables(environment_, {{"HOME", home}}));
      if (target == name) {
        EXPECT_EQ(tool.readLine(kPatience), kMuted);
        tool.write("x\n");
        EXPECT_EQ(tool.readLine(kPatience), kUnmuted);
      } else {
        EXPECT_EQ(tool.readLine(kPatience),
                  R"({"error":")" + target +
                      R"( audio process not found. Make sure it is running and playing audio."})");
      }
      tool.wait(kPatience);
      std::ifstream file(errors);
      std::ostringstream text;
      text << file.rdbuf();
      EXPECT_EQ(text.str(), "");
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Servers, RealServerFaultTest, ::testing::Values("pulseaudio", "pipewire"),
                         [](const ::testing::TestParamInfo<const char*>& server) {
                           return std::string(server.param);
                         });

}  // namespace
}  // namespace velmuro::testing
