#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/linux/accessibility/bus_connection.h"

namespace velmuro::linux_desktop {

// Reads a message's arguments one after the other, checking each one's type before it is read
// (libdbus aborts the process on a read of the wrong type). Every read of the wrong type, or past
// the end, gives absent; texts come out as valid UTF-8.
class MessageReader {
 public:
  // At the first argument of a method return; at the end for an error reply.
  explicit MessageReader(const Reply& reply);

  // The D-Bus type code of the current argument; DBUS_TYPE_INVALID at the end.
  int type() const;
  // Moves to the next argument.
  void next();
  // A string, object path or signature, then moves on.
  std::optional<std::string> text();
  // An unsigned 32-bit integer, then moves on.
  std::optional<std::uint32_t> uint32();
  // A Boolean, then moves on.
  std::optional<bool> boolean();
  // The contents of the current array, structure, variant or dictionary entry, then moves on.
  std::optional<MessageReader> enter();

 private:
  MessageReader(const DBusLibrary& dbus, const DBusMessageIter& iter) : dbus_(&dbus), iter_(iter) {}
  const DBusLibrary* dbus_;
  mutable DBusMessageIter iter_{};
  bool atEnd_ = false;
};

}  // namespace velmuro::linux_desktop
