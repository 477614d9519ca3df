#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "platform/linux/clipboard/x11_connection.h"
#include "platform/pasteboard.h"

namespace velmuro::linux_desktop {

// An owner's answer to a conversion: the property's type and format and its bytes, format 16 and
// 32 items in this machine's byte order, 2 and 4 bytes each, as they cross the wire.
struct SelectionData {
  Atom type = None;
  int format = 8;
  platform::Bytes bytes;
};

// The bounds on one conversion.
struct ConversionBounds {
  // The longest wait for the owner: for its answer, and for each next chunk of an INCR transfer.
  std::chrono::milliseconds answer;
  // The end of the whole conversion.
  SteadyTime deadline;
  // More data than this is not taken.
  std::size_t maxBytes;
  // The count of owner changes the conversion starts from; a change before the answer is all in
  // gives it up.
  std::int64_t ownerChanges;
};

// Asks the CLIPBOARD's owner for a target and takes its answer, by INCR when the owner sends it
// so; absent when the owner refuses, does not answer or go on in time, would send more than
// maxBytes, or changes (dies, gives the selection up) during the conversion, and when the
// connection fails. Each conversion has a window of its own, destroyed at its end, so that the
// late answer to one given up lands nowhere.
std::optional<SelectionData> convertSelection(X11Connection& connection, Atom target,
                                              const ConversionBounds& bounds);

}  // namespace velmuro::linux_desktop
