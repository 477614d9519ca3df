#pragma once

#include <chrono>

#include "platform/clock.h"
#include "platform/sim/call_log.h"

namespace velmuro::sim {

// A clock that only moves when the simulated desktop says so: sleeping advances it at once. It
// keeps the call log's time current, so every entry says when its call began.
class VirtualClock : public platform::Clock {
 public:
  // Where every run's time begins.
  static constexpr platform::WallTime kStart{std::chrono::seconds(1'700'000'000)};

  explicit VirtualClock(CallLog& log) : log_(log) { log_.setNow(elapsed()); }

  platform::WallTime now() override { return now_; }
  // Logs the sleep and advances the time by it.
  void sleepMicroseconds(std::uint32_t microseconds) override;

  // Moves the time forward without a sleep (an application's latency, a test's step).
  void advance(std::chrono::microseconds duration) { set(now_ + duration); }
  void set(platform::WallTime time);
  // The time since kStart.
  std::chrono::microseconds elapsed() const {
    return std::chrono::duration_cast<std::chrono::microseconds>(now_ - kStart);
  }

 private:
  CallLog& log_;
  platform::WallTime now_ = kStart;
};

}  // namespace velmuro::sim
