#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "platform/linux/test_process.h"

namespace velmuro::testing {

// One run of the shipped tool: its lines, its exit status and how long it took.
struct ToolRun {
  std::vector<std::string> lines;
  std::optional<int> exitStatus;
  std::chrono::milliseconds took{0};
};

// Runs the shipped tool with its input closed and these variables on top of the test's, until its
// output ends or the timeout passes.
ToolRun runTool(const Environment& environment, const std::vector<std::string>& arguments,
                std::chrono::milliseconds timeout = std::chrono::seconds(30));

// The line the tab reader prints for these addresses, in the tool's JSON (slashes escaped).
std::string tabAddressesLine(const std::vector<std::string>& addresses);

}  // namespace velmuro::testing

// Ends the test when a real service the test needs could not be set up: skipped with the reason
// outside CI, failed in CI.
#define VELMURO_REQUIRE_SERVICE(ready, reason)                  \
  do {                                                          \
    if (!(ready)) {                                             \
      if (::velmuro::testing::inCI()) GTEST_FAIL() << (reason); \
      GTEST_SKIP() << (reason);                                 \
    }                                                           \
  } while (false)
