#include "platform/sim/call_log.h"

#include <unistd.h>

namespace velmuro::sim {

void CallLog::record(std::string call, json::Object arguments, json::Value result,
                     std::chrono::microseconds began) {
  entries_.push_back({std::move(call), std::move(arguments), std::move(result), began});
  if (traceFd_ >= 0) writeTraceLine(toJSON(entries_.back()));
}

std::vector<std::string> CallLog::calls() const {
  std::vector<std::string> names;
  names.reserve(entries_.size());
  for (const Entry& entry : entries_) names.push_back(entry.call);
  return names;
}

std::size_t CallLog::count(std::string_view call) const {
  std::size_t n = 0;
  for (const Entry& entry : entries_) n += entry.call == call ? 1 : 0;
  return n;
}

std::vector<CallLog::Entry> CallLog::callsNamed(std::string_view call) const {
  std::vector<Entry> found;
  for (const Entry& entry : entries_) {
    if (entry.call == call) found.push_back(entry);
  }
  return found;
}

void CallLog::writeTraceLine(const json::Value& line) const {
  if (traceFd_ < 0) return;
  std::string text = json::dump(line) + "\n";
  // One write per line, so a signal that ends the process never leaves half a line.
  const char* data = text.data();
  std::size_t left = text.size();
  while (left > 0) {
    ssize_t n = ::write(traceFd_, data, left);
    if (n <= 0) return;
    data += n;
    left -= static_cast<std::size_t>(n);
  }
}

json::Value toJSON(const CallLog::Entry& entry) {
  return json::Object{{"call", entry.call},
                      {"args", entry.arguments},
                      {"result", entry.result},
                      {"atMs", static_cast<double>(entry.began.count()) / 1000.0}};
}

}  // namespace velmuro::sim
