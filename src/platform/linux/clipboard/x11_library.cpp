#include "platform/linux/clipboard/x11_library.h"

#include <dlfcn.h>

namespace velmuro::linux_desktop {

namespace {

#define VELMURO_X11_RESOLVE(name)                                           \
  library.name = reinterpret_cast<decltype(&::name)>(dlsym(handle, #name)); \
  if (library.name == nullptr) return false;

// Resolves every libX11 function, or gives false at the first one missing.
bool resolveX11(void* handle, X11Library& library) {
  VELMURO_X11_FUNCTIONS(VELMURO_X11_RESOLVE)
  return true;
}

// Resolves every libXfixes function, or gives false at the first one missing.
bool resolveXfixes(void* handle, X11Library& library) {
  VELMURO_XFIXES_FUNCTIONS(VELMURO_X11_RESOLVE)
  return true;
}

#undef VELMURO_X11_RESOLVE

const X11Library* openLibrary() {
  static X11Library library;
  // The handles stay open for the rest of the run (and in the serving process after it).
  void* x11 = dlopen("libX11.so.6", RTLD_NOW | RTLD_LOCAL);
  if (x11 == nullptr || !resolveX11(x11, library)) return nullptr;
  void* xfixes = dlopen("libXfixes.so.3", RTLD_NOW | RTLD_LOCAL);
  if (xfixes == nullptr || !resolveXfixes(xfixes, library)) return nullptr;
  return &library;
}

}  // namespace

const X11Library* loadX11Library() {
  static const X11Library* const library = openLibrary();
  return library;
}

}  // namespace velmuro::linux_desktop
