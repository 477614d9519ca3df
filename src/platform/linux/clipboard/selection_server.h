#pragma once

#include <vector>

#include "platform/linux/clipboard/x11_connection.h"
#include "platform/pasteboard.h"

namespace velmuro::linux_desktop {

// One target as the serving process gives it: the type and format of the property it answers
// with, and the bytes (format 16 and 32 items in this machine's byte order).
struct ServedTarget {
  Atom target = None;
  Atom type = None;
  int format = 8;
  const platform::Bytes* bytes = nullptr;
};

// Forks the process that serves the targets: it takes the CLIPBOARD, stamped with the server time
// since (so that a client that took it after that moment keeps it), and answers every request
// (TARGETS, TIMESTAMP, MULTIPLE, the targets, INCR above the request size, anything else refused)
// until another client takes the selection or the server goes, then ends. It runs in a session
// of its own, holds none of this process's descriptors, and has its copy of the bytes before
// this returns. True once it owns the selection; false when it could not be started or did not
// own the selection within 1 second, and then it is gone.
bool startSelectionServer(X11Connection& connection, const std::vector<ServedTarget>& targets,
                          Time since);

}  // namespace velmuro::linux_desktop
