#include "platform/linux/accessibility/dbus_library.h"

#include <dlfcn.h>

namespace velmuro::linux_desktop {

namespace {

// Resolves every function, or gives false at the first one missing.
bool resolveAll(void* handle, DBusLibrary& library) {
#define VELMURO_DBUS_RESOLVE(name)                                          \
  library.name = reinterpret_cast<decltype(&::name)>(dlsym(handle, #name)); \
  if (library.name == nullptr) return false;
  VELMURO_DBUS_FUNCTIONS(VELMURO_DBUS_RESOLVE)
#undef VELMURO_DBUS_RESOLVE
  return true;
}

const DBusLibrary* openLibrary() {
  static DBusLibrary library;
  // The handle stays open for the rest of the run.
  void* handle = dlopen("libdbus-1.so.3", RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr || !resolveAll(handle, library)) return nullptr;
  return &library;
}

}  // namespace

const DBusLibrary* loadDBusLibrary() {
  static const DBusLibrary* const library = openLibrary();
  return library;
}

}  // namespace velmuro::linux_desktop
