#pragma once

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/Xfixes.h>

namespace velmuro::linux_desktop {

// Every libX11 function the clipboard calls, by its own name. XSetIOErrorExitHandler (libX11
// 1.7) lets a connection whose server has gone fail its calls instead of ending the process.
#define VELMURO_X11_FUNCTIONS(X) \
  X(XOpenDisplay)                \
  X(XCloseDisplay)               \
  X(XInternAtom)                 \
  X(XInternAtoms)                \
  X(XGetAtomNames)               \
  X(XFree)                       \
  X(XCreateWindow)               \
  X(XDestroyWindow)              \
  X(XSelectInput)                \
  X(XSetSelectionOwner)          \
  X(XGetSelectionOwner)          \
  X(XConvertSelection)           \
  X(XGetWindowProperty)          \
  X(XChangeProperty)             \
  X(XDeleteProperty)             \
  X(XSendEvent)                  \
  X(XSync)                       \
  X(XFlush)                      \
  X(XPending)                    \
  X(XNextEvent)                  \
  X(XMaxRequestSize)             \
  X(XExtendedMaxRequestSize)     \
  X(XSetErrorHandler)            \
  X(XSetIOErrorHandler)          \
  X(XSetIOErrorExitHandler)

// Every libXfixes function the clipboard calls.
#define VELMURO_XFIXES_FUNCTIONS(X) \
  X(XFixesQueryExtension)           \
  X(XFixesQueryVersion)             \
  X(XFixesSelectSelectionInput)

// libX11 and libXfixes, loaded at run time so that the tool starts without them (and the
// libraries they pull in) for every command that does not touch the clipboard, and still runs
// where they are missing.
struct X11Library {
#define VELMURO_X11_MEMBER(name) decltype(&::name) name = nullptr;
  VELMURO_X11_FUNCTIONS(VELMURO_X11_MEMBER)
  VELMURO_XFIXES_FUNCTIONS(VELMURO_X11_MEMBER)
#undef VELMURO_X11_MEMBER
};

// Both libraries with every function resolved, loaded on the first call; null when
// libX11.so.6 or libXfixes.so.3 is missing or lacks one of the functions.
const X11Library* loadX11Library();

}  // namespace velmuro::linux_desktop
