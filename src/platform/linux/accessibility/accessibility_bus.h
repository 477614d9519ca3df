#pragma once

#include <chrono>
#include <memory>

#include "platform/linux/accessibility/bus_connection.h"

namespace velmuro::linux_desktop {

// Finds the accessibility bus the way the desktop's accessibility clients do and connects to it:
// the address in AT_SPI_BUS_ADDRESS, else the one that org.a11y.Bus on the session bus gives (the
// session bus at DBUS_SESSION_BUS_ADDRESS, else $XDG_RUNTIME_DIR/bus). Absent when there is no
// such bus or it does not answer; each wait lasts at most the timeout.
std::unique_ptr<BusConnection> connectAccessibilityBus(const DBusLibrary& dbus,
                                                       std::chrono::milliseconds timeout);

}  // namespace velmuro::linux_desktop
