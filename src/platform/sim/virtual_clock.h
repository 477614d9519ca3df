#pragma once

#include <chrono>

#include "platform/clock.h"
#include "platform/sim/call_log.h"

namespace velmuro::sim {

// A clock that only moves when the simulated desktop says so: sleeping advances it at once.
class VirtualClock : public platform::Clock {
 public:
  explicit VirtualClock(CallLog& log) : log_(log) {}

  platform::WallTime now() override { return now_; }
  // Logs the sleep and advances the time by it.
  void sleepMicroseconds(std::uint32_t microseconds) override;

  // Moves the time forward without a sleep (an application's latency, a test's step).
  void advance(std::chrono::microseconds duration) { now_ += duration; }
  void set(platform::WallTime time) { now_ = time; }

 private:
  CallLog& log_;
  platform::WallTime now_{std::chrono::seconds(1'700'000'000)};
};

}  // namespace velmuro::sim
