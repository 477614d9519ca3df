#include "platform/sim/virtual_clock.h"

namespace velmuro::sim {

void VirtualClock::sleepMicroseconds(std::uint32_t microseconds) {
  log_.record("usleep", json::Object{{"microseconds", microseconds}}, nullptr);
  now_ += std::chrono::microseconds(microseconds);
}

}  // namespace velmuro::sim
