#include "platform/linux/accessibility/reader_runs.h"


namespace velmuro::testing {

ToolRun runTool(const Environment& environment, const std::vector<std::string>& arguments,
                std::chrono::milliseconds timeout) {
  auto start = std::chrono::steady_clock::now();
  Process tool(VELMURO_TOOL_BINARY, arguments, environment);
  tool.closeInput();
  ToolRun run;
  auto deadline = start + timeout;
  while (std::optional<std::string> line =
             tool.readLine(std::chrono::duration_cast<std::chrono::milliseconds>(
                 deadline - std::chrono::steady_clock::now()))) {
    run.lines.push_back(*line);
  }
  run.took = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - start);
  run.exitStatus = tool.wait(std::chrono::seconds(5));
  return run;
}

std::string tabAddressesLine(const std::vector<std::string>& addresses) {
  std::string line = R"({"status":"ok","addresses":[)";
  for (std::size_t i = 0; i < addresses.size(); ++i) {
    if (i > 0) line += ",";
    line += "\"";
    for (char c : addresses[i]) {
      if (c == '/') line += "\\";
      line.push_back(c);
    }
    line += "\"";
  }
  return line + "]}";
}

}  // namespace velmuro::testing
