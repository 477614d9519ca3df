#include "platform/linux/audio/pulse_library.h"

#include <dlfcn.h>

namespace velmuro::linux_desktop {

namespace {

// Resolves every function, or gives false at the first one missing.
bool resolveAll(void* handle, PulseLibrary& library) {
#define VELMURO_PULSE_RESOLVE(name)                                         \
  library.name = reinterpret_cast<decltype(&::name)>(dlsym(handle, #name)); \
  if (library.name == nullptr) return false;
  VELMURO_PULSE_FUNCTIONS(VELMURO_PULSE_RESOLVE)
#undef VELMURO_PULSE_RESOLVE
  return true;
}

const PulseLibrary* openLibrary() {
  static PulseLibrary library;
  // The handle stays open for the rest of the run.
  void* handle = dlopen("libpulse.so.0", RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr || !resolveAll(handle, library)) return nullptr;
  return &library;
}

}  // namespace

const PulseLibrary* loadPulseLibrary() {
  static const PulseLibrary* const library = openLibrary();
  return library;
}

}  // namespace velmuro::linux_desktop
