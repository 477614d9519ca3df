// A clipboard client of the tests' own, written straight on Xlib: the owner whose CLIPBOARD the
// tool saves, and the reader that checks what is served afterwards.
//
//   velmuro-clipboard own [--announce N] OFFER...
//     Takes the CLIPBOARD and offers each OFFER, in order (after TARGETS and TIMESTAMP):
//       TARGET=FILE              the file's bytes, as a property of type TARGET, format 8
//       TARGET:TYPE:FORMAT=FILE  as type TYPE, format 8, 16 or 32 (4-byte items in the file)
//       --refuse TARGET          refused (property None)
//       --silent TARGET          never answered (TARGETS too: an owner that answers nothing)
//       --die TARGET             1 MiB by INCR: the first 64 KiB chunk, then the owner dies
//       --drip TARGET            by INCR, one byte every 100 ms, for ever
//       --yield TARGET           first gives the selection to a second window of its own (an
//                                owner change), then answers with the bytes "yielded"
//     Data above 256 KiB goes by INCR, announcing its size (or N with --announce). Prints "owned"
//     once it owns the selection; each line on standard input takes it again (printing "again");
//     when another client takes it, prints "lost" and exits 0.
//   velmuro-clipboard read DIR
//   velmuro-clipboard read-multiple DIR
//     Reads the CLIPBOARD as a paste does, one request per target (read) or one MULTIPLE request
//     for every target and one no owner offers (read-multiple). Prints "TARGETS" and the names
//     the owner lists, then one line per target but TARGETS and MULTIPLE: "NAME TYPE FORMAT SIZE
//     incr|direct" or "NAME refused", writing the bytes to DIR/NAME with each '/' as '%'.
//     Exit status 1 when there is no owner, 2 when the owner does not answer within 5 seconds.
//   velmuro-clipboard owner
//     Prints the _NET_WM_PID of the CLIPBOARD owner's window ("none" without an owner).
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::size_t kChunk = 256 * 1024;

Display* display = nullptr;
Atom clipboard, targetsAtom, timestampAtom, multipleAtom, incrAtom, atomPair, transfer, netWmPid;

Atom atom(const std::string& name) { return XInternAtom(display, name.c_str(), False); }

std::string nameOf(Atom a) {
  if (a == None) return "None";
  char* text = XGetAtomName(display, a);
  std::string name = text ? text : "?";
  if (text) XFree(text);
  return name;
}

[[noreturn]] void fail(const char* message, int status = 3) {
  std::fprintf(stderr, "velmuro-clipboard: %s\n", message);
  std::exit(status);
}

void say(const char* line) {
  std::printf("%s\n", line);
  std::fflush(stdout);
}

// Writes bytes as a property; format 32 items are 4 bytes each in the data, longs for Xlib.
void writeProperty(Window window, Atom property, Atom type, int format, const std::string& bytes) {
  int count = static_cast<int>(bytes.size() / static_cast<std::size_t>(format / 8));
  if (format == 32) {
    std::vector<long> items(static_cast<std::size_t>(count));
    for (std::size_t i = 0; i < items.size(); ++i) {
      std::uint32_t item;
      std::memcpy(&item, bytes.data() + 4 * i, 4);
      items[i] = static_cast<long>(item);
    }
    XChangeProperty(display, window, property, type, 32, PropModeReplace,
                    reinterpret_cast<unsigned char*>(items.data()), count);
  } else {
    XChangeProperty(display, window, property, type, format, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(bytes.data()), count);
  }
}

// ---- Owner ----

enum class Behaviour { kServe, kRefuse, kSilent, kDie, kDrip, kYield };

struct Offer {
  Atom target;
  Atom type;
  int format = 8;
  std::string bytes;
  Behaviour behaviour = Behaviour::kServe;
};

struct Transfer {
  Window requestor;
  Atom property;
  const Offer* offer;
  std::size_t offset = 0;
  int chunksSent = 0;
  std::optional<Clock::time_point> dripAt;
};

struct Owner {
  std::vector<Offer> offers;
  std::optional<unsigned long> announce;
  Window windows[2] = {None, None};
  int current = 0;
  std::vector<Transfer> transfers;

  bool isOurs(Window w) const { return w == windows[0] || w == windows[1]; }

  void take() {
    XSetSelectionOwner(display, clipboard, windows[current], CurrentTime);
    if (XGetSelectionOwner(display, clipboard) != windows[current]) fail("could not own");
  }

  void notify(const XSelectionRequestEvent& request, Atom property) {
    XEvent reply{};
    reply.xselection.type = SelectionNotify;
    reply.xselection.requestor = request.requestor;
    reply.xselection.selection = request.selection;
    reply.xselection.target = request.target;
    reply.xselection.property = property;
    reply.xselection.time = request.time;
    XSendEvent(display, request.requestor, False, NoEventMask, &reply);
  }

  void startIncr(Window requestor, Atom property, const Offer& offer, unsigned long size) {
    XSelectInput(display, requestor, PropertyChangeMask);
    long announced = static_cast<long>(announce.value_or(size));
    XChangeProperty(display, requestor, property, incrAtom, 32, PropModeReplace,
                    reinterpret_cast<unsigned char*>(&announced), 1);
    transfers.push_back({requestor, property, &offer, 0, 0, std::nullopt});
  }

  void answer(const XSelectionRequestEvent& request) {
    Atom property = request.property == None ? request.target : request.property;
    // --silent TARGETS makes an owner that answers nothing at all.
    for (const Offer& offer : offers) {
      if (offer.target == request.target && offer.behaviour == Behaviour::kSilent) return;
    }
    if (request.target == targetsAtom) {
      std::vector<long> list{static_cast<long>(targetsAtom), static_cast<long>(timestampAtom)};
      for (const Offer& offer : offers) list.push_back(static_cast<long>(offer.target));
      XChangeProperty(display, request.requestor, property, XA_ATOM, 32, PropModeReplace,
                      reinterpret_cast<unsigned char*>(list.data()), static_cast<int>(list.size()));
      return notify(request, property);
    }
    if (request.target == timestampAtom) {
      long stamp = 0;
      XChangeProperty(display, request.requestor, property, XA_INTEGER, 32, PropModeReplace,
                      reinterpret_cast<unsigned char*>(&stamp), 1);
      return notify(request, property);
    }
    auto offer = std::find_if(offers.begin(), offers.end(),
                              [&](const Offer& o) { return o.target == request.target; });
    if (offer == offers.end() || offer->behaviour == Behaviour::kRefuse) {
      return notify(request, None);
    }
    switch (offer->behaviour) {
      case Behaviour::kDie:
        startIncr(request.requestor, property, *offer, 1 << 20);
        return notify(request, property);
      case Behaviour::kDrip:
        startIncr(request.requestor, property, *offer, 0);
        return notify(request, property);
      case Behaviour::kYield:
        current = 1 - current;
        take();
        break;
      default:
        break;
    }
    if (offer->bytes.size() > kChunk) {
      startIncr(request.requestor, property, *offer, offer->bytes.size());
    } else {
      writeProperty(request.requestor, property, offer->type, offer->format, offer->bytes);
    }
    notify(request, property);
  }

  void sendChunk(Transfer& t) {
    const Offer& offer = *t.offer;
    if (offer.behaviour == Behaviour::kDie) {
      if (t.chunksSent++ == 1) _exit(0);
      writeProperty(t.requestor, t.property, offer.type, 8, std::string(64 * 1024, 'd'));
      return;
    }
    if (offer.behaviour == Behaviour::kDrip) {
      writeProperty(t.requestor, t.property, offer.type, 8, "x");
      return;
    }
    std::size_t size = std::min(kChunk, offer.bytes.size() - t.offset);
    writeProperty(t.requestor, t.property, offer.type, offer.format,
                  offer.bytes.substr(t.offset, size));
    t.offset += size;
    if (size == 0) t.requestor = None;  // done
  }

  void onDelete(const XPropertyEvent& event) {
    for (Transfer& t : transfers) {
      if (t.requestor != event.window || t.property != event.atom) continue;
      if (t.offer->behaviour == Behaviour::kDrip) {
        t.dripAt = Clock::now() + std::chrono::milliseconds(100);
      } else {
        sendChunk(t);
      }
    }
    std::erase_if(transfers, [](const Transfer& t) { return t.requestor == None; });
  }

  // Sends the drips that are due; true when it sent any.
  bool sendDueDrips() {
    bool sent = false;
    for (Transfer& t : transfers) {
      if (t.dripAt && *t.dripAt <= Clock::now()) {
        t.dripAt.reset();
        sendChunk(t);
        sent = true;
      }
    }
    return sent;
  }

  // Milliseconds until the next drip is due; -1 for none.
  int dripTimeout() const {
    int timeout = -1;
    for (const Transfer& t : transfers) {
      if (!t.dripAt) continue;
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*t.dripAt - Clock::now());
      int ms = std::max(1, static_cast<int>(left.count()));
      timeout = timeout < 0 ? ms : std::min(timeout, ms);
    }
    return timeout;
  }

  [[noreturn]] void run() {
    long pid = getpid();
    for (Window& w : windows) {
      w = XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, 1, 1, 0, 0, 0);
      XChangeProperty(display, w, netWmPid, XA_CARDINAL, 32, PropModeReplace,
                      reinterpret_cast<unsigned char*>(&pid), 1);
    }
    take();
    say("owned");
    bool input = true;
    for (;;) {
      // XPending sends what was written before it looks, and counts what arrived while it was
      // sending: after it, nothing waits in Xlib's queue while the loop sleeps on the socket.
      while (XPending(display) > 0) {
        XEvent event;
        XNextEvent(display, &event);
        if (event.type == SelectionRequest) answer(event.xselectionrequest);
        if (event.type == PropertyNotify && event.xproperty.state == PropertyDelete) {
          onDelete(event.xproperty);
        }
        if (event.type == SelectionClear && !isOurs(XGetSelectionOwner(display, clipboard))) {
          say("lost");
          std::exit(0);
        }
      }
      if (sendDueDrips()) continue;
      pollfd fds[2] = {{ConnectionNumber(display), POLLIN, 0}, {input ? 0 : -1, POLLIN, 0}};
      poll(fds, 2, dripTimeout());
      if (fds[1].revents != 0) {
        char buffer[256];
        ssize_t n = ::read(0, buffer, sizeof buffer);
        if (n <= 0) {
          input = false;
        } else {
          take();
          say("again");
        }
      }
    }
  }
};

std::string readFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary | std::ios::ate);
  if (!file) fail(("cannot read " + path).c_str());
  std::string bytes(static_cast<std::size_t>(file.tellg()), '\0');
  file.seekg(0);
  file.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return bytes;
}

Offer parseOffer(const std::string& argument) {
  std::size_t equals = argument.find('=');
  if (equals == std::string::npos) fail("an offer is TARGET[:TYPE:FORMAT]=FILE");
  std::string name = argument.substr(0, equals);
  Offer offer;
  offer.bytes = readFile(argument.substr(equals + 1));
  std::size_t colon = name.find(':');
  offer.target = atom(name.substr(0, colon));
  offer.type = offer.target;
  if (colon != std::string::npos) {
    std::size_t second = name.find(':', colon + 1);
    if (second == std::string::npos) fail("an offer is TARGET[:TYPE:FORMAT]=FILE");
    offer.type = atom(name.substr(colon + 1, second - colon - 1));
    offer.format = std::atoi(name.c_str() + second + 1);
  }
  return offer;
}

[[noreturn]] void own(int argc, char** argv) {
  Owner owner;
  const std::map<std::string, Behaviour> options{{"--refuse", Behaviour::kRefuse},
                                                 {"--silent", Behaviour::kSilent},
                                                 {"--die", Behaviour::kDie},
                                                 {"--drip", Behaviour::kDrip},
                                                 {"--yield", Behaviour::kYield}};
  for (int i = 2; i < argc; ++i) {
    std::string argument = argv[i];
    if (argument == "--announce" && i + 1 < argc) {
      owner.announce = std::strtoul(argv[++i], nullptr, 10);
    } else if (options.count(argument) && i + 1 < argc) {
      Offer offer;
      offer.target = offer.type = atom(argv[++i]);
      offer.behaviour = options.at(argument);
      if (offer.behaviour == Behaviour::kYield) offer.bytes = "yielded";
      owner.offers.push_back(offer);
    } else {
      owner.offers.push_back(parseOffer(argument));
    }
  }
  owner.run();
}

// ---- Reader ----

struct Property {
  Atom type = None;
  int format = 0;
  std::string bytes;
};

std::optional<Property> takeProperty(Window window, Atom property) {
  Property taken;
  unsigned long count = 0, after = 0;
  unsigned char* data = nullptr;
  if (XGetWindowProperty(display, window, property, 0, 0x7FFFFFF, True, AnyPropertyType,
                         &taken.type, &taken.format, &count, &after, &data) != Success) {
    return std::nullopt;
  }
  if (taken.format == 32) {
    for (unsigned long i = 0; i < count; ++i) {
      auto item = static_cast<std::uint32_t>(reinterpret_cast<long*>(data)[i]);
      taken.bytes.append(reinterpret_cast<char*>(&item), 4);
    }
  } else if (data != nullptr) {
    taken.bytes.assign(reinterpret_cast<char*>(data),
                       count * static_cast<unsigned>(taken.format / 8));
  }
  if (data) XFree(data);
  return taken;
}

XEvent waitFor(Window window, int type, Atom property = None) {
  auto deadline = Clock::now() + std::chrono::seconds(5);
  for (;;) {
    while (XPending(display) > 0) {
      XEvent event;
      XNextEvent(display, &event);
      if (event.xany.window != window || event.type != type) continue;
      if (type == PropertyNotify &&
          (event.xproperty.atom != property || event.xproperty.state != PropertyNewValue)) {
        continue;
      }
      return event;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) fail("no answer", 2);
    pollfd fd{ConnectionNumber(display), POLLIN, 0};
    poll(&fd, 1, static_cast<int>(left.count()));
  }
}

// Reads a property that an answer names, following INCR; incr tells whether it did.
Property receive(Window window, Atom property, bool& incr) {
  std::optional<Property> first = takeProperty(window, property);
  if (!first) fail("unreadable property");
  incr = first->type == incrAtom;
  if (!incr) return *first;
  Property whole;
  for (;;) {
    waitFor(window, PropertyNotify, property);
    std::optional<Property> chunk = takeProperty(window, property);
    if (!chunk) fail("unreadable chunk");
    whole.type = chunk->type;
    whole.format = chunk->format;
    if (chunk->bytes.empty()) return whole;
    whole.bytes += chunk->bytes;
  }
}

void report(const std::string& dir, Atom target, const Property& data, bool incr) {
  std::string name = nameOf(target);
  std::string file = name;
  std::replace(file.begin(), file.end(), '/', '%');
  std::ofstream(dir + "/" + file, std::ios::binary) << data.bytes;
  std::printf("%s %s %d %zu %s\n", name.c_str(), nameOf(data.type).c_str(), data.format,
              data.bytes.size(), incr ? "incr" : "direct");
}

[[noreturn]] void readClipboard(const std::string& dir, bool multiple) {
  if (XGetSelectionOwner(display, clipboard) == None) fail("no owner", 1);
  XSetWindowAttributes attributes{};
  attributes.event_mask = PropertyChangeMask;
  Window window = XCreateWindow(display, DefaultRootWindow(display), 0, 0, 1, 1, 0, 0, InputOnly,
                                nullptr, CWEventMask, &attributes);
  XConvertSelection(display, clipboard, targetsAtom, transfer, window, CurrentTime);
  XEvent answer = waitFor(window, SelectionNotify);
  if (answer.xselection.property == None) fail("TARGETS refused");
  bool incr = false;
  Property list = receive(window, transfer, incr);
  std::vector<Atom> targets;
  std::printf("TARGETS");
  for (std::size_t i = 0; i + 4 <= list.bytes.size(); i += 4) {
    std::uint32_t target;
    std::memcpy(&target, list.bytes.data() + i, 4);
    std::printf(" %s", nameOf(target).c_str());
    if (target != targetsAtom && target != multipleAtom) targets.push_back(target);
  }
  std::printf("\n");
  if (!multiple) {
    for (Atom target : targets) {
      XConvertSelection(display, clipboard, target, transfer, window, CurrentTime);
      XEvent reply = waitFor(window, SelectionNotify);
      if (reply.xselection.property == None) {
        std::printf("%s refused\n", nameOf(target).c_str());
        continue;
      }
      Property data = receive(window, transfer, incr);
      report(dir, target, data, incr);
    }
    std::exit(0);
  }
  targets.push_back(atom("VELMURO_NO_SUCH_TARGET"));
  std::vector<long> pairs;
  for (std::size_t i = 0; i < targets.size(); ++i) {
    pairs.push_back(static_cast<long>(targets[i]));
    pairs.push_back(static_cast<long>(atom("VELMURO_PAIR_" + std::to_string(i))));
  }
  XChangeProperty(display, window, transfer, atomPair, 32, PropModeReplace,
                  reinterpret_cast<unsigned char*>(pairs.data()), static_cast<int>(pairs.size()));
  XConvertSelection(display, clipboard, multipleAtom, transfer, window, CurrentTime);
  XEvent reply = waitFor(window, SelectionNotify);
  if (reply.xselection.property == None) fail("MULTIPLE refused");
  std::optional<Property> answered = takeProperty(window, transfer);
  if (!answered || answered->bytes.size() != pairs.size() * 4) fail("MULTIPLE answer malformed");
  // Pairs first, then every INCR transfer in turn: each stays open until read.
  for (std::size_t i = 0; i < targets.size(); ++i) {
    std::uint32_t property;
    std::memcpy(&property, answered->bytes.data() + 8 * i + 4, 4);
    if (property == None) {
      std::printf("%s refused\n", nameOf(targets[i]).c_str());
      continue;
    }
    Property data = receive(window, property, incr);
    report(dir, targets[i], data, incr);
  }
  std::exit(0);
}

void printOwner() {
  Window owner = XGetSelectionOwner(display, clipboard);
  if (owner == None) return say("none");
  Atom type;
  int format;
  unsigned long count, after;
  unsigned char* data = nullptr;
  if (XGetWindowProperty(display, owner, netWmPid, 0, 1, False, XA_CARDINAL, &type, &format, &count,
                         &after, &data) != Success ||
      count != 1) {
    return say("unknown");
  }
  std::printf("%ld\n", *reinterpret_cast<long*>(data));
  XFree(data);
}

// A requestor that gives a transfer up destroys its window: writing there fails, and that is all.
int ignoreError(Display*, XErrorEvent*) { return 0; }

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) fail("usage: velmuro-clipboard own|read|read-multiple|owner ...");
  display = XOpenDisplay(nullptr);
  if (display == nullptr) fail("no display");
  XSetErrorHandler(ignoreError);
  clipboard = atom("CLIPBOARD");
  targetsAtom = atom("TARGETS");
  timestampAtom = atom("TIMESTAMP");
  multipleAtom = atom("MULTIPLE");
  incrAtom = atom("INCR");
  atomPair = atom("ATOM_PAIR");
  transfer = atom("VELMURO_TEST_TRANSFER");
  netWmPid = atom("_NET_WM_PID");
  std::string mode = argv[1];
  if (mode == "own") own(argc, argv);
  if ((mode == "read" || mode == "read-multiple") && argc == 3)
    readClipboard(argv[2], mode != "read");
  if (mode == "owner") {
    printOwner();
    return 0;
  }
  fail("usage: velmuro-clipboard own|read|read-multiple|owner ...");
}
