#pragma once

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
  };

  // Appends one call; when a trace file is open, writes it there as one JSON line at once.
  void record(std::string call, json::Object arguments, json::Value result);

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
  int traceFd_ = -1;
};

// The JSON line the trace file holds for one entry.
json::Value toJSON(const CallLog::Entry& entry);

}  // namespace velmuro::sim
