#include "platform/posix/system_clock.h"

#include <unistd.h>

namespace velmuro::posix {

platform::WallTime SystemClock::now() { return std::chrono::system_clock::now(); }

void SystemClock::sleepMicroseconds(std::uint32_t microseconds) { ::usleep(microseconds); }

}  // namespace velmuro::posix
