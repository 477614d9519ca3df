#include "platform/linux/clipboard/selection_server.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include "platform/linux/detached_descriptors.h"

namespace velmuro::linux_desktop {

namespace {

using Clock = std::chrono::steady_clock;

// The serving process connects on its own and takes the selection within milliseconds; the tool
// waits this long for it before it gives the restore up.
constexpr std::chrono::seconds kHandOverLimit{1};
// The serving process's own limit on the same steps, for when the tool is no longer there.
constexpr unsigned kStartLimitSeconds = 5;
// A requestor that asks for no next chunk in this time has given its INCR transfer up.
constexpr std::chrono::seconds kTransferIdle{10};
// The largest property written at once; larger data goes by INCR. Toolkits use the same size.
constexpr std::size_t kLargestChunk = 256 * 1024;

// A request about a requestor's window that has gone fails; nothing else depends on it.
int ignoreError(Display*, XErrorEvent*) { return 0; }

// The server has gone, and the selection with it.
int endWithServer(Display*) { ::_exit(0); }

// Time stamps wrap around; a is earlier than b when it lies less than half the range before it.
bool isEarlier(Time a, Time b) { return static_cast<std::int32_t>(a - b) < 0; }

// The serving side of the selection, in the serving process.
class SelectionServer {
 public:
  SelectionServer(const X11Library& x, Display* display, const ClipboardAtoms& atoms,
                  const std::vector<ServedTarget>& targets, Time since)
      : x_(x), display_(display), atoms_(atoms), targets_(targets), since_(since) {
    const long units = x_.XExtendedMaxRequestSize(display_) != 0
                           ? x_.XExtendedMaxRequestSize(display_)
                           : x_.XMaxRequestSize(display_);
    // Room for the request's own header; whole items of every format.
    chunk_ = std::min(kLargestChunk, static_cast<std::size_t>(units) * 4 - 100) / 4 * 4;
  }

  // Takes the selection with a window of its own; true when it owns it.
  bool takeSelection() {
    XSetWindowAttributes attributes{};
    window_ = x_.XCreateWindow(display_, DefaultRootWindow(display_), 0, 0, 1, 1, 0, 0, InputOnly,
                               nullptr, 0, &attributes);
    // Who serves the clipboard can be found from its owner's window.
    long pid = ::getpid();
    x_.XChangeProperty(display_, window_, atoms_.netWmPid, XA_CARDINAL, 32, PropModeReplace,
                       reinterpret_cast<const unsigned char*>(&pid), 1);
    x_.XSetSelectionOwner(display_, atoms_.clipboard, window_, since_);
    return x_.XGetSelectionOwner(display_, atoms_.clipboard) == window_;
  }

  // Answers requests until the selection is lost or the server goes, then ends the process.
  [[noreturn]] void serve() {
    XEvent event;
    for (;;) {
      // XPending sends the answers given so far before it looks.
      while (x_.XPending(display_) > 0) {
        x_.XNextEvent(display_, &event);
        handle(event);
      }
      expireTransfers();
      pollfd socket{ConnectionNumber(display_), POLLIN, 0};
      ::poll(&socket, 1, pollTimeout());
    }
  }

 private:
  // An INCR transfer under way: the next chunk goes when the requestor deletes the last one.
  struct Transfer {
    Window requestor;
    Atom property;
    const ServedTarget* target;
    std::size_t offset;
    Clock::time_point idleUntil;
  };

  void handle(const XEvent& event) {
    switch (event.type) {
      case SelectionClear:
        if (event.xselectionclear.window == window_ &&
            event.xselectionclear.selection == atoms_.clipboard) {
          ::_exit(0);
        }
        break;
      case SelectionRequest:
        answer(event.xselectionrequest);
        break;
      case PropertyNotify:
        if (event.xproperty.state == PropertyDelete) {
          continueTransfer(event.xproperty.window, event.xproperty.atom);
        }
        break;
      case DestroyNotify:
        std::erase_if(transfers_, [&](const Transfer& transfer) {
          return transfer.requestor == event.xdestroywindow.window;
        });
        break;
      default:
        break;
    }
  }

  void answer(const XSelectionRequestEvent& request) {
    // Obsolete requestors name no property: the target's name serves as one.
    const Atom property = request.property == None ? request.target : request.property;
    const bool ours = request.selection == atoms_.clipboard && request.owner == window_ &&
                      (request.time == CurrentTime || !isEarlier(request.time, since_));
    bool given = false;
    if (ours) {
      given = request.target == atoms_.multiple ? putMultiple(request.requestor, request.property)
                                                : put(request.requestor, request.target, property);
    }
    XEvent reply{};
    reply.xselection.type = SelectionNotify;
    reply.xselection.display = display_;
    reply.xselection.requestor = request.requestor;
    reply.xselection.selection = request.selection;
    reply.xselection.target = request.target;
    reply.xselection.property = given ? property : None;
    reply.xselection.time = request.time;
    x_.XSendEvent(display_, request.requestor, False, NoEventMask, &reply);
  }

  // Writes one target into the requestor's property; false when it is refused.
  bool put(Window requestor, Atom target, Atom property) {
    if (target == atoms_.targets) {
      std::vector<unsigned long> list{atoms_.targets, atoms_.timestamp, atoms_.multiple};
      for (const ServedTarget& served : targets_) list.push_back(served.target);
      x_.XChangeProperty(display_, requestor, property, XA_ATOM, 32, PropModeReplace,
                         reinterpret_cast<const unsigned char*>(list.data()),
                         static_cast<int>(list.size()));
      return true;
    }
    if (target == atoms_.timestamp) {
      unsigned long stamp = since_;
      x_.XChangeProperty(display_, requestor, property, XA_INTEGER, 32, PropModeReplace,
                         reinterpret_cast<const unsigned char*>(&stamp), 1);
      return true;
    }
    auto served = std::find_if(targets_.begin(), targets_.end(),
                               [&](const ServedTarget& t) { return t.target == target; });
    if (served == targets_.end()) return false;
    if (served->bytes->size() <= chunk_) {
      write(requestor, property, *served, 0, served->bytes->size());
    } else {
      startTransfer(requestor, property, *served);
    }
    return true;
  }

  // MULTIPLE: the requestor's property lists target and property pairs; each pair refused has
  // its property replaced by None.
  bool putMultiple(Window requestor, Atom property) {
    if (property == None) return false;
    Atom type = None;
    int format = 0;
    unsigned long count = 0;
    unsigned long after = 0;
    unsigned char* data = nullptr;
    int status = x_.XGetWindowProperty(display_, requestor, property, 0, 0x10000, False,
                                       AnyPropertyType, &type, &format, &count, &after, &data);
    if (status != Success || format != 32 || data == nullptr) {
      if (data != nullptr) x_.XFree(data);
      return false;
    }
    const auto* items = reinterpret_cast<const unsigned long*>(data);
    std::vector<unsigned long> pairs(items, items + count / 2 * 2);
    x_.XFree(data);
    bool refused = false;
    for (std::size_t i = 0; i < pairs.size(); i += 2) {
      if (pairs[i + 1] == None) continue;
      if (pairs[i] == atoms_.multiple || !put(requestor, pairs[i], pairs[i + 1])) {
        pairs[i + 1] = None;
        refused = true;
      }
    }
    if (refused) {
      x_.XChangeProperty(display_, requestor, property, type, 32, PropModeReplace,
                         reinterpret_cast<const unsigned char*>(pairs.data()),
                         static_cast<int>(pairs.size()));
    }
    return true;
  }

  // Writes bytes [offset, offset + size) of a target, as the property's type and format.
  void write(Window requestor, Atom property, const ServedTarget& served, std::size_t offset,
             std::size_t size) {
    const std::uint8_t* bytes = served.bytes->data() + offset;
    const int count = static_cast<int>(size / static_cast<std::size_t>(served.format / 8));
    if (served.format != 32) {
      x_.XChangeProperty(display_, requestor, property, served.type, served.format, PropModeReplace,
                         bytes, count);
      return;
    }
    // Xlib takes format 32 as longs.
    std::vector<unsigned long> items(static_cast<std::size_t>(count));
    for (std::size_t i = 0; i < items.size(); ++i) {
      std::uint32_t item = 0;
      std::memcpy(&item, bytes + 4 * i, 4);
      items[i] = item;
    }
    x_.XChangeProperty(display_, requestor, property, served.type, 32, PropModeReplace,
                       reinterpret_cast<const unsigned char*>(items.data()), count);
  }

  void startTransfer(Window requestor, Atom property, const ServedTarget& served) {
    std::erase_if(transfers_, [&](const Transfer& transfer) {
      return transfer.requestor == requestor && transfer.property == property;
    });
    // The requestor's deletions are what ask for each next chunk.
    x_.XSelectInput(display_, requestor, PropertyChangeMask | StructureNotifyMask);
    unsigned long size = served.bytes->size();
    x_.XChangeProperty(display_, requestor, property, atoms_.incr, 32, PropModeReplace,
                       reinterpret_cast<const unsigned char*>(&size), 1);
    transfers_.push_back({requestor, property, &served, 0, Clock::now() + kTransferIdle});
  }

  void continueTransfer(Window requestor, Atom property) {
    auto transfer = std::find_if(transfers_.begin(), transfers_.end(), [&](const Transfer& t) {
      return t.requestor == requestor && t.property == property;
    });
    if (transfer == transfers_.end()) return;
    const std::size_t size = std::min(chunk_, transfer->target->bytes->size() - transfer->offset);
    // The empty chunk after the last ends the transfer.
    write(requestor, property, *transfer->target, transfer->offset, size);
    transfer->offset += size;
    transfer->idleUntil = Clock::now() + kTransferIdle;
    if (size == 0) {
      transfers_.erase(transfer);
      releaseWindow(requestor);
    }
  }

  void expireTransfers() {
    const Clock::time_point now = Clock::now();
    std::vector<Window> released;
    std::erase_if(transfers_, [&](const Transfer& transfer) {
      if (transfer.idleUntil > now) return false;
      released.push_back(transfer.requestor);
      return true;
    });
    for (Window requestor : released) releaseWindow(requestor);
  }

  // Stops listening to a requestor's window once no transfer to it is left.
  void releaseWindow(Window requestor) {
    if (std::none_of(transfers_.begin(), transfers_.end(),
                     [&](const Transfer& t) { return t.requestor == requestor; })) {
      x_.XSelectInput(display_, requestor, NoEventMask);
    }
  }

  int pollTimeout() const {
    if (transfers_.empty()) return -1;
    Clock::time_point first = transfers_.front().idleUntil;
    for (const Transfer& transfer : transfers_) first = std::min(first, transfer.idleUntil);
    auto left = std::chrono::ceil<std::chrono::milliseconds>(first - Clock::now());
    return static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 1));
  }

  const X11Library& x_;
  Display* display_;
  ClipboardAtoms atoms_;
  const std::vector<ServedTarget>& targets_;
  Time since_;
  std::size_t chunk_ = kLargestChunk;
  Window window_ = None;
  std::vector<Transfer> transfers_;
};

// The serving process, from the fork on; report is where it says it owns the selection.
[[noreturn]] void runServer(const X11Library& x, const std::string& displayName,
                            const ClipboardAtoms& atoms, const std::vector<ServedTarget>& targets,
                            Time since, int report) {
  // A session of its own: a kill of the tool's process group does not reach it.
  ::setsid();
  const int keep = ::fcntl(report, F_DUPFD, 3);
  detachDescriptors(keep);
  if (::chdir("/") != 0) ::_exit(1);
  for (int number : {SIGTERM, SIGINT, SIGHUP, SIGALRM}) std::signal(number, SIG_DFL);
  std::signal(SIGPIPE, SIG_IGN);
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  ::alarm(kStartLimitSeconds);
  x.XSetErrorHandler(ignoreError);
  x.XSetIOErrorHandler(endWithServer);
  Display* display = x.XOpenDisplay(displayName.c_str());
  if (display == nullptr) ::_exit(1);
  SelectionServer server(x, display, atoms, targets, since);
  if (!server.takeSelection()) ::_exit(1);
  const char owned = '1';
  if (::write(keep, &owned, 1) != 1) {
    // The tool has gone already; the clipboard is served all the same.
  }
  ::close(keep);
  ::alarm(0);
  server.serve();
}

// True when the serving process reports that it owns the selection within the limit.
bool awaitOwnership(int report) {
  const Clock::time_point deadline = Clock::now() + kHandOverLimit;
  for (;;) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return false;
    pollfd pipe{report, POLLIN, 0};
    int ready = ::poll(&pipe, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    char owned = 0;
    ssize_t n = ::read(report, &owned, 1);
    if (n < 0 && errno == EINTR) continue;
    return n == 1 && owned == '1';
  }
}

}  // namespace

bool startSelectionServer(X11Connection& connection, const std::vector<ServedTarget>& targets,
                          Time since) {
  if (!connection.alive()) return false;
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) return false;
  pid_t pid = ::fork();
  if (pid < 0) {
    ::close(ends[0]);
    ::close(ends[1]);
    return false;
  }
  if (pid == 0) {
    ::close(ends[0]);
    runServer(connection.x(), connection.displayName(), connection.atoms(), targets, since,
              ends[1]);
  }
  ::close(ends[1]);
  const bool owned = awaitOwnership(ends[0]);
  ::close(ends[0]);
  if (!owned) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
  }
  return owned;
}

}  // namespace velmuro::linux_desktop
