#pragma once

#include <dbus/dbus.h>

namespace velmuro::linux_desktop {

// Every libdbus function the accessibility backend calls, by its own name.
#define VELMURO_DBUS_FUNCTIONS(X)           \
  X(dbus_error_init)                        \
  X(dbus_error_free)                        \
  X(dbus_validate_bus_name)                 \
  X(dbus_validate_path)                     \
  X(dbus_connection_open_private)           \
  X(dbus_connection_set_exit_on_disconnect) \
  X(dbus_connection_close)                  \
  X(dbus_connection_read_write)             \
  X(dbus_connection_get_is_authenticated)   \
  X(dbus_connection_get_is_connected)       \
  X(dbus_connection_unref)                  \
  X(dbus_connection_send_with_reply)        \
  X(dbus_pending_call_block)                \
  X(dbus_pending_call_get_completed)        \
  X(dbus_pending_call_steal_reply)          \
  X(dbus_pending_call_cancel)               \
  X(dbus_pending_call_unref)                \
  X(dbus_message_new_method_call)           \
  X(dbus_message_unref)                     \
  X(dbus_message_get_type)                  \
  X(dbus_message_get_error_name)            \
  X(dbus_message_iter_init)                 \
  X(dbus_message_iter_init_append)          \
  X(dbus_message_iter_append_basic)         \
  X(dbus_message_iter_get_arg_type)         \
  X(dbus_message_iter_recurse)              \
  X(dbus_message_iter_next)                 \
  X(dbus_message_iter_get_basic)

// libdbus, loaded at run time so that the tool starts without it (and the libraries it pulls in)
// for every command that does not read another application, and still runs where it is missing.
struct DBusLibrary {
#define VELMURO_DBUS_MEMBER(name) decltype(&::name) name = nullptr;
  VELMURO_DBUS_FUNCTIONS(VELMURO_DBUS_MEMBER)
#undef VELMURO_DBUS_MEMBER
};

// The library with every function resolved, loaded on the first call; null when libdbus-1.so.3
// is missing or lacks one of the functions.
const DBusLibrary* loadDBusLibrary();

}  // namespace velmuro::linux_desktop
