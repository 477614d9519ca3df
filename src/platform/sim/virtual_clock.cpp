#include "platform/sim/virtual_clock.h"

namespace velmuro::sim {

void VirtualClock::sleepMicroseconds(std::uint32_t microseconds) {
  log_.record("usleep", json::Object{{"microseconds", microseconds}}, nullptr);
  set(now_ + std::chrono::microseconds(microseconds));
}

void VirtualClock::set(platform::WallTime time) {
  now_ = time;
  log_.setNow(elapsed());
}

}  // namespace velmuro::sim
