#include "platform/linux/clipboard/selection_reader.h"

#include <algorithm>
#include <cstring>

namespace velmuro::linux_desktop {

namespace {

// A window that lives for one conversion.
class ConversionWindow {
 public:
  explicit ConversionWindow(X11Connection& connection)
      : connection_(connection), window_(connection.createWindow()) {}
  ~ConversionWindow() { connection_.destroyWindow(window_); }
  ConversionWindow(const ConversionWindow&) = delete;
  ConversionWindow& operator=(const ConversionWindow&) = delete;

  Window id() const { return window_; }

 private:
  X11Connection& connection_;
  Window window_;
};

// The events of one conversion's window, each within the bounds.
class ConversionEvents {
 public:
  ConversionEvents(X11Connection& connection, Window window, const ConversionBounds& bounds)
      : connection_(connection), window_(window), bounds_(bounds) {}

  // The window's next event, at most the answer bound from now; false at a bound, or when the
  // owner changes.
  bool next(XEvent& event) {
    const SteadyTime deadline =
        std::min(bounds_.deadline, std::chrono::steady_clock::now() + bounds_.answer);
    for (;;) {
      switch (connection_.next(deadline, event)) {
        case NextEvent::kNothing:
        case NextEvent::kOwnerChange:
          return false;
        case NextEvent::kEvent:
          if (event.xany.window == window_) return true;
          break;
      }
    }
  }

 private:
  X11Connection& connection_;
  Window window_;
  const ConversionBounds& bounds_;
};

// Appends the items of a property as bytes: format 32 arrives as longs, one per item.
void appendItems(platform::Bytes& bytes, int format, const unsigned char* data,
                 unsigned long count) {
  if (format == 32) {
    const auto* items = reinterpret_cast<const unsigned long*>(data);
    for (unsigned long i = 0; i < count; ++i) {
      auto item = static_cast<std::uint32_t>(items[i]);
      const auto* itemBytes = reinterpret_cast<const std::uint8_t*>(&item);
      bytes.insert(bytes.end(), itemBytes, itemBytes + 4);
    }
  } else {
    bytes.insert(bytes.end(), data, data + count * static_cast<unsigned long>(format / 8));
  }
}

// Reads the whole property and deletes it; absent when there is none, it holds more than
// maxBytes, or the read fails.
std::optional<SelectionData> takeProperty(X11Connection& connection, Window window, Atom property,
                                          std::size_t maxBytes) {
  Atom type = None;
  int format = 0;
  unsigned long count = 0;
  unsigned long after = 0;
  unsigned char* data = nullptr;
  const long length = static_cast<long>(maxBytes / 4 + 1);
  int status = connection.roundTrip([&] {
    return connection.x().XGetWindowProperty(connection.display(), window, property, 0, length,
                                             True, AnyPropertyType, &type, &format, &count, &after,
                                             &data);
  });
  std::optional<SelectionData> taken;
  const std::size_t size = count * static_cast<std::size_t>(format / 8);
  if (status == Success && connection.alive() && type != None && after == 0 && size <= maxBytes &&
      (format == 8 || format == 16 || format == 32)) {
    taken.emplace();
    taken->type = type;
    taken->format = format;
    taken->bytes.reserve(size);
    appendItems(taken->bytes, format, data, count);
  }
  if (data != nullptr) connection.x().XFree(data);
  return taken;
}

// Takes the chunks of an INCR transfer whose announcement has just been read (and so deleted,
// which asks for the first chunk) until the empty chunk that ends it.
std::optional<SelectionData> receiveIncrementally(X11Connection& connection,
                                                  ConversionEvents& events, Window window,
                                                  Atom property, const SelectionData& announcement,
                                                  const ConversionBounds& bounds) {
  std::uint32_t announced = 0;
  if (announcement.bytes.size() >= 4) std::memcpy(&announced, announcement.bytes.data(), 4);
  // The announced size is a lower bound: more than the bound is refused before it comes.
  if (announced > bounds.maxBytes) return std::nullopt;
  SelectionData data;
  data.bytes.reserve(announced);
  bool first = true;
  XEvent event;
  for (;;) {
    do {
      if (!events.next(event)) return std::nullopt;
    } while (event.type != PropertyNotify || event.xproperty.atom != property ||
             event.xproperty.state != PropertyNewValue);
    std::optional<SelectionData> chunk =
        takeProperty(connection, window, property, bounds.maxBytes - data.bytes.size());
    if (!chunk || (!first && chunk->format != data.format)) return std::nullopt;
    if (first) {
      data.type = chunk->type;
      data.format = chunk->format;
      first = false;
    }
    if (chunk->bytes.empty()) return data;
    data.bytes.insert(data.bytes.end(), chunk->bytes.begin(), chunk->bytes.end());
  }
}

}  // namespace

std::optional<SelectionData> convertSelection(X11Connection& connection, Atom target,
                                              const ConversionBounds& bounds) {
  connection.takeInEvents();
  if (!connection.alive() || target == None || connection.ownerChanges() != bounds.ownerChanges) {
    return std::nullopt;
  }
  ConversionWindow window(connection);
  const ClipboardAtoms& atoms = connection.atoms();
  connection.x().XConvertSelection(connection.display(), atoms.clipboard, target, atoms.transfer,
                                   window.id(), CurrentTime);
  ConversionEvents events(connection, window.id(), bounds);
  XEvent event;
  do {
    if (!events.next(event)) return std::nullopt;
  } while (event.type != SelectionNotify || event.xselection.selection != atoms.clipboard ||
           event.xselection.target != target);
  const Atom property = event.xselection.property;
  // None: the owner refuses the target.
  if (property == None) return std::nullopt;
  std::optional<SelectionData> answer =
      takeProperty(connection, window.id(), property, bounds.maxBytes);
  if (answer && answer->type == atoms.incr) {
    answer = receiveIncrementally(connection, events, window.id(), property, *answer, bounds);
  }
  return answer;
}

}  // namespace velmuro::linux_desktop
