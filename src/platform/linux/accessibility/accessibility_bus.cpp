#include "platform/linux/accessibility/accessibility_bus.h"

#include <sys/stat.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "platform/linux/accessibility/message_reader.h"

namespace velmuro::linux_desktop {

namespace {

std::string environmentValue(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::string() : std::string(value);
}

// The session bus's address; empty when there is none to find. libdbus would start a bus of its
// own when it finds none (autolaunch), which a tool must never do, so the address is looked up
// here.
std::string sessionBusAddress() {
  std::string address = environmentValue("DBUS_SESSION_BUS_ADDRESS");
  if (!address.empty()) return address;
  std::string runtime = environmentValue("XDG_RUNTIME_DIR");
  if (runtime.empty()) return {};
  std::string socket = runtime + "/bus";
  struct stat status;
  if (::stat(socket.c_str(), &status) != 0 || !S_ISSOCK(status.st_mode)) return {};
  return "unix:path=" + socket;
}

// The address org.a11y.Bus gives on the session bus; empty when it gives none.
std::string addressFromSessionBus(const DBusLibrary& dbus, std::chrono::milliseconds timeout) {
  std::string session = sessionBusAddress();
  if (session.empty()) return {};
  std::unique_ptr<BusConnection> bus = BusConnection::open(dbus, session, true, timeout);
  if (!bus) return {};
  std::optional<Reply> reply =
      bus->call({"org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus", "GetAddress", {}});
  if (!reply) return {};
  return MessageReader(*reply).text().value_or("");
}

}  // namespace

std::unique_ptr<BusConnection> connectAccessibilityBus(const DBusLibrary& dbus,
                                                       std::chrono::milliseconds timeout) {
  std::string address = environmentValue("AT_SPI_BUS_ADDRESS");
  if (address.empty()) address = addressFromSessionBus(dbus, timeout);
  if (address.empty()) return nullptr;
  return BusConnection::open(dbus, address, true, timeout);
}

}  // namespace velmuro::linux_desktop
