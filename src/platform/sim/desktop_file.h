#pragma once

#include <string>

#include "platform/sim/desktop_model.h"
#include "platform/sim/json.h"

namespace velmuro::sim {

// Reads the desktop sections of a world file ("accessibility", "applications", "pasteboard",
// "timeline") from its root object; false with a reason in *error when one is not valid.
bool loadDesktop(const json::Value& root, DesktopModel& model, std::string* error);

// The desktop's state for the end of the trace: trust, timeout, pasteboard, changed attributes,
// nodes added and removed, and the element handles still held.
json::Value desktopState(const DesktopModel& model);

// A value as the trace and world files write it.
json::Value toJSON(const DesktopValue& value);

}  // namespace velmuro::sim
