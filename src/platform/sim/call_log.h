#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "platform/sim/json.h"

namespace velmuro::sim {

// Every platform call the simulated desktop served, in order, with its arguments and result.
class CallLog {
 public:
  struct Entry {
    std::string call;
    json::Value arguments;  // an object
    json::Value result;
    // When the call began, on the virtual clock from its start.
    std::chrono::microseconds began{0};
  };

  // Appends one call that began now; when a trace file is open, writes it there at once.
  void record(std::string call, json::Object arguments, json::Value result) {
    record(std::move(call), std::move(arguments), std::move(result), now_);
  }
  // Appends one call that began at this time (a call that spent time on the clock).
  void record(std::string call, json::Object arguments, json::Value result,
              std::chrono::microseconds began);

  // The virtual time now, from the clock's start; the clock keeps it current.
  std::chrono::microseconds now() const { return now_; }
  void setNow(std::chrono::microseconds sinceStart) { now_ = sinceStart; }

  const std::vector<Entry>& entries() const { return entries_; }
  // The names of the calls, in order.
  std::vector<std::string> calls() const;
  // How many calls of this name were made.
  std::size_t count(std::string_view call) const;
  // The calls of this name, in order.
  std::vector<Entry> callsNamed(std::string_view call) const;

  // Sends every later entry, and the final state, to this file descriptor.
  void traceTo(int fd) { traceFd_ = fd; }
  // Writes one more JSON line to the trace file, if there is one.
  void writeTraceLine(const json::Value& line) const;

 private:
  std::vector<Entry> entries_;
  std::chrono::microseconds now_{0};
  int traceFd_ = -1;
};

// The JSON line the trace file holds for one entry; "atMs" is when the call began.
json::Value toJSON(const CallLog::Entry& entry);

}  // namespace velmuro::sim
