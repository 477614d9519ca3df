#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "platform/sim/json.h"

namespace velmuro::testing {

// What one run of the binary left behind.
struct CliRun {
  std::string out;                      // standard output, byte for byte
  std::vector<std::string> lines;       // standard output split at line feeds
  std::string err;                      // standard error
  int exitStatus = -1;                  // -1 when ended by a signal
  int signal = 0;                       // the signal that ended it, if any
  std::vector<sim::json::Value> trace;  // the simulated desktop's trace lines
  std::string traceText;                // the trace file, byte for byte
};

// How a host hands the tool its standard descriptors and signal mask.
struct HostSetup {
  std::vector<int> closedDescriptors{};  // of 0, 1 and 2, those the tool starts without
  bool nonBlockingInput = false;         // the tool's end of the input pipe is non-blocking
  bool nonBlockingOutput = false;        // the tool's end of the output pipe is non-blocking
  bool outputReaderGone = false;         // nobody reads the output pipe: every write fails
  std::vector<int> blockedSignals{};     // blocked in the signal mask the tool starts with
  // Each "NAME=value" is set too, in place of the variable of that name.
  std::vector<std::string> environment{};
};

// The built binary running on a world, with its standard input and output as pipes.
class VelmuroProcess {
 public:
  // Starts the binary with these arguments (after the program name); worldJson, when present, is
  // written to a file that VELMURO_SIM_WORLD names, and the trace goes to a file of its own.
  VelmuroProcess(const std::vector<std::string>& args, const std::optional<std::string>& worldJson,
                 const HostSetup& host = {});
  ~VelmuroProcess();
  VelmuroProcess(const VelmuroProcess&) = delete;
  VelmuroProcess& operator=(const VelmuroProcess&) = delete;

  pid_t pid() const { return pid_; }
  // The next whole line of output without its line feed; absent at end of output or timeout.
  std::optional<std::string> readLine(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // True when the process has printed nothing more and is still running after the wait.
  bool staysQuiet(std::chrono::milliseconds wait);
  void writeInput(const std::string& bytes);
  void closeInput();
  void sendSignal(int signal);
  // The trace lines written so far.
  std::vector<sim::json::Value> traceSoFar() const;
  // Closes the input, reads the rest of the output, waits for the exit and collects the trace.
  CliRun finish();

 private:
  pid_t pid_ = -1;
  int inFd_ = -1;
  int outFd_ = -1;
  int errFd_ = -1;
  std::string dir_;
  std::string out_;
  std::size_t consumed_ = 0;
  bool readChunk(int timeoutMs);
};

// Runs the binary to its end with this input (then end of input) and collects everything.
CliRun runVelmuro(const std::vector<std::string>& args, const std::optional<std::string>& worldJson,
                  const std::string& input = "");

// Runs the binary to its end with these "NAME=value" variables set (a world or trace path the test
// chose) and no world of its own.
CliRun runVelmuroWith(const std::vector<std::string>& args,
                      const std::vector<std::string>& environment);

// The text of a world file shipped with the project (worlds/NAME).
std::string worldFile(const std::string& name);

// The text with its first `from` replaced by `to`; a test failure when `from` is not there.
std::string replaced(std::string text, const std::string& from, const std::string& to);

// Each trace line that records a call of this name.
std::vector<sim::json::Value> tracedCalls(const CliRun& run, const std::string& call);

// The world's final state from the trace, or null when the run did not end normally.
sim::json::Value finalState(const CliRun& run);

}  // namespace velmuro::testing
