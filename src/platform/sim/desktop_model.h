#pragma once

// Placeholder until the accessibility side of the simulated desktop lands.
#include <string>

#include "platform/sim/json.h"

namespace velmuro::sim {

struct DesktopModel {};

inline bool loadDesktop(const json::Value&, DesktopModel&, std::string*) { return true; }
inline json::Value desktopState(const DesktopModel&) { return json::Object{}; }

}  // namespace velmuro::sim
