#pragma once

#include <cstdint>

#include "platform/clock.h"

namespace velmuro::posix {

// The real wall clock and the real sleep.
class SystemClock : public platform::Clock {
 public:
  // std::chrono::system_clock::now().
  platform::WallTime now() override;
  // Sleeps the calling thread with usleep.
  void sleepMicroseconds(std::uint32_t microseconds) override;
};

}  // namespace velmuro::posix
