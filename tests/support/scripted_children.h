#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/child_processes.h"

namespace velmuro::testing {

// Child processes that answer from a script instead of running anything: pgrep output by the
// pattern asked for (its last argument), ps output as one text; every run is recorded.
class ScriptedChildren : public platform::ChildProcesses {
 public:
  std::map<std::string, std::string> pgrepOutput;  // by pattern; a missing one prints nothing
  std::optional<std::string> psOutput;             // absent: ps can't be started
  std::vector<std::vector<std::string>> runs;      // path, then the arguments

  std::optional<std::string> runAndCollect(const std::string& path,
                                           const std::vector<std::string>& arguments) override {
    std::vector<std::string> run{path};
    run.insert(run.end(), arguments.begin(), arguments.end());
    runs.push_back(run);
    if (path == "/usr/bin/pgrep" && !arguments.empty()) {
      auto it = pgrepOutput.find(arguments.back());
      return it == pgrepOutput.end() ? std::string() : it->second;
    }
    if (path == "/bin/ps") return psOutput;
    return std::nullopt;
  }
};

}  // namespace velmuro::testing
