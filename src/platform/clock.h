#pragma once

#include <chrono>
#include <cstdint>

namespace velmuro::platform {

using WallTime = std::chrono::system_clock::time_point;

// Wall-clock time and sleeping.
class Clock {
 public:
  virtual ~Clock() = default;

  // The current wall-clock time.
  virtual WallTime now() = 0;
  // usleep.
  virtual void sleepMicroseconds(std::uint32_t microseconds) = 0;
};

}  // namespace velmuro::platform
