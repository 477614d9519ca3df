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

// libpulse writes its diagnostics (a cookie it can't load, say) on standard error unless told
// otherwise; a tool whose standard error must stay empty tells it to drop them.
void silenceLogging(void* handle, PulseLibrary& library) {
#define VELMURO_PULSE_RESOLVE_LOG(name) \
  library.name = reinterpret_cast<decltype(&::name)>(dlsym(handle, #name));
  VELMURO_PULSE_LOG_FUNCTIONS(VELMURO_PULSE_RESOLVE_LOG)
#undef VELMURO_PULSE_RESOLVE_LOG
  if (!library.pa_log_parse_target || !library.pa_log_set_target || !library.pa_log_target_free) {
    return;
  }
  if (pa_log_target* nowhere = library.pa_log_parse_target("null")) {
    library.pa_log_set_target(nowhere);
    library.pa_log_target_free(nowhere);
  }
}

const PulseLibrary* openLibrary() {
  static PulseLibrary library;
  // The handle stays open for the rest of the run.
  void* handle = dlopen("libpulse.so.0", RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr || !resolveAll(handle, library)) return nullptr;
  silenceLogging(handle, library);
  return &library;
}

}  // namespace

const PulseLibrary* loadPulseLibrary() {
  static const PulseLibrary* const library = openLibrary();
  return library;
}

}  // namespace velmuro::linux_desktop
