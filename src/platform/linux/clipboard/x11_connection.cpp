#include "platform/linux/clipboard/x11_connection.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>

namespace velmuro::linux_desktop {

namespace {

// A local server answers a request within milliseconds even on a loaded desktop; one that has
// not answered within a second has hung, and the tool must not hang with it.
constexpr time_t kRequestLimitSeconds = 1;
constexpr int kDescriptorLimit = 1024;

// What the alarm shuts down: one socket, or (-1) every socket opened since the watch began.
volatile sig_atomic_t watchedSocket = -1;
bool openBeforeWatch[kDescriptorLimit];
struct sigaction alarmBeforeWatch;

void onRequestUnanswered(int) {
  if (watchedSocket >= 0) {
    ::shutdown(watchedSocket, SHUT_RDWR);
    return;
  }
  for (int fd = 3; fd < kDescriptorLimit; ++fd) {
    if (!openBeforeWatch[fd] && ::fcntl(fd, F_GETFD) != -1) ::shutdown(fd, SHUT_RDWR);
  }
}

// The connections of this file, whose errors are its own to take quietly; other connections of
// the process keep the handlers they had.
std::vector<Display*>& ownDisplays() {
  static std::vector<Display*> displays;
  return displays;
}

bool isOwn(Display* display) {
  const std::vector<Display*>& own = ownDisplays();
  return std::find(own.begin(), own.end(), display) != own.end();
}

XErrorHandler errorHandlerBefore = nullptr;
XIOErrorHandler ioErrorHandlerBefore = nullptr;

// A request that fails (about a window that has gone, say) makes its call fail by its result.
int onError(Display* display, XErrorEvent* error) {
  if (isOwn(display)) return 0;
  return errorHandlerBefore != nullptr ? errorHandlerBefore(display, error) : 0;
}

// Silent for this file's connections: the exit handler that follows marks the connection lost.
int onIOError(Display* display) {
  if (isOwn(display)) return 0;
  return ioErrorHandlerBefore != nullptr ? ioErrorHandlerBefore(display) : 0;
}

void installHandlers(const X11Library& x) {
  static bool installed = false;
  if (installed) return;
  installed = true;
  errorHandlerBefore = x.XSetErrorHandler(onError);
  ioErrorHandlerBefore = x.XSetIOErrorHandler(onIOError);
}

}  // namespace

X11Connection::Watch::Watch(int socket) {
  watchedSocket = socket;
  if (socket < 0) {
    for (int fd = 0; fd < kDescriptorLimit; ++fd) openBeforeWatch[fd] = ::fcntl(fd, F_GETFD) != -1;
  }
  struct sigaction action {};
  action.sa_handler = onRequestUnanswered;
  sigemptyset(&action.sa_mask);
  // No SA_RESTART: a connect() to a server that never accepts returns with EINTR.
  ::sigaction(SIGALRM, &action, &alarmBeforeWatch);
  itimerval limit{};
  limit.it_value.tv_sec = kRequestLimitSeconds;
  ::setitimer(ITIMER_REAL, &limit, nullptr);
}

X11Connection::Watch::~Watch() {
  itimerval off{};
  ::setitimer(ITIMER_REAL, &off, nullptr);
  ::sigaction(SIGALRM, &alarmBeforeWatch, nullptr);
}

std::unique_ptr<X11Connection> X11Connection::open() {
  const X11Library* x = loadX11Library();
  if (x == nullptr) return nullptr;
  Display* display = nullptr;
  {
    Watch watch(-1);
    display = x->XOpenDisplay(nullptr);
  }
  if (display == nullptr) return nullptr;
  std::unique_ptr<X11Connection> connection(new X11Connection(*x, display));
  if (!connection->start()) return nullptr;
  return connection;
}

X11Connection::X11Connection(const X11Library& x, Display* display)
    : x_(x), display_(display), displayName_(DisplayString(display)) {
  installHandlers(x_);
  ownDisplays().push_back(display_);
  x_.XSetIOErrorExitHandler(display_, onConnectionLost, this);
}

X11Connection::~X11Connection() {
  roundTrip([&] { return x_.XCloseDisplay(display_); });
  std::vector<Display*>& own = ownDisplays();
  own.erase(std::remove(own.begin(), own.end(), display_), own.end());
}

void X11Connection::onConnectionLost(Display*, void* self) {
  static_cast<X11Connection*>(self)->alive_ = false;
}

bool X11Connection::start() {
  std::vector<Atom> named = atoms({"CLIPBOARD", "TARGETS", "TIMESTAMP", "MULTIPLE", "INCR",
                                   "ATOM_PAIR", "UTF8_STRING", "VELMURO_SELECTION", "_NET_WM_PID"});
  if (std::find(named.begin(), named.end(), None) != named.end()) return false;
  atoms_ = {named[0], named[1], named[2], named[3], named[4],
            named[5], named[6], named[7], named[8]};
  int errorBase = 0;
  int major = 1;
  int minor = 0;
  if (!roundTrip([&] { return x_.XFixesQueryExtension(display_, &fixesEventBase_, &errorBase); }) ||
      !roundTrip([&] { return x_.XFixesQueryVersion(display_, &major, &minor); }) || major < 1) {
    return false;
  }
  x_.XFixesSelectSelectionInput(display_, DefaultRootWindow(display_), atoms_.clipboard,
                                XFixesSetSelectionOwnerNotifyMask |
                                    XFixesSelectionWindowDestroyNotifyMask |
                                    XFixesSelectionClientCloseNotifyMask);
  clock_ = createWindow();
  sync();
  return alive_ && clock_ != None;
}

bool X11Connection::isOwnerChange(const XEvent& event) const {
  return event.type == fixesEventBase_ + XFixesSelectionNotify &&
         reinterpret_cast<const XFixesSelectionNotifyEvent&>(event).selection == atoms_.clipboard;
}

void X11Connection::sync() {
  roundTrip([&] { return x_.XSync(display_, False); });
  takeInEvents();
}

void X11Connection::takeInEvents() {
  XEvent event;
  while (alive_ && roundTrip([&] { return x_.XPending(display_); }) > 0) {
    x_.XNextEvent(display_, &event);
    if (isOwnerChange(event)) ++ownerChanges_;
  }
}

NextEvent X11Connection::next(SteadyTime deadline, XEvent& event) {
  for (;;) {
    if (alive_ && roundTrip([&] { return x_.XPending(display_); }) > 0) {
      x_.XNextEvent(display_, &event);
      if (!isOwnerChange(event)) return NextEvent::kEvent;
      ++ownerChanges_;
      return NextEvent::kOwnerChange;
    }
    if (!alive_) return NextEvent::kNothing;
    auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return NextEvent::kNothing;
    pollfd socket{ConnectionNumber(display_), POLLIN, 0};
    ::poll(&socket, 1, static_cast<int>(left.count()));
  }
}

Window X11Connection::owner() {
  Window owner = roundTrip([&] { return x_.XGetSelectionOwner(display_, atoms_.clipboard); });
  return alive_ ? owner : None;
}

Window X11Connection::createWindow() {
  if (!alive_) return None;
  XSetWindowAttributes attributes{};
  attributes.event_mask = PropertyChangeMask;
  return x_.XCreateWindow(display_, DefaultRootWindow(display_), 0, 0, 1, 1, 0, 0, InputOnly,
                          nullptr, CWEventMask, &attributes);
}

void X11Connection::destroyWindow(Window window) {
  if (alive_ && window != None) x_.XDestroyWindow(display_, window);
}

std::optional<Time> X11Connection::serverTime() {
  if (!alive_) return std::nullopt;
  // Appending nothing changes no value but still reports the change, stamped by the server.
  x_.XChangeProperty(display_, clock_, atoms_.transfer, XA_INTEGER, 8, PropModeAppend, nullptr, 0);
  const SteadyTime deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  XEvent event;
  for (;;) {
    NextEvent next = this->next(deadline, event);
    if (next == NextEvent::kNothing) return std::nullopt;
    if (next == NextEvent::kEvent && event.type == PropertyNotify &&
        event.xproperty.window == clock_) {
      return event.xproperty.time;
    }
  }
}

Atom X11Connection::atom(const std::string& name, bool onlyIfExists) {
  Atom atom = roundTrip(
      [&] { return x_.XInternAtom(display_, name.c_str(), onlyIfExists ? True : False); });
  return alive_ ? atom : None;
}

std::vector<Atom> X11Connection::atoms(const std::vector<std::string>& names) {
  std::vector<Atom> atoms(names.size(), None);
  if (!alive_ || names.empty()) return atoms;
  std::vector<char*> texts;
  // XInternAtoms only reads the names.
  for (const std::string& name : names) texts.push_back(const_cast<char*>(name.c_str()));
  roundTrip([&] {
    return x_.XInternAtoms(display_, texts.data(), static_cast<int>(texts.size()), False,
                           atoms.data());
  });
  if (!alive_) std::fill(atoms.begin(), atoms.end(), None);
  return atoms;
}

std::vector<std::string> X11Connection::names(const std::vector<Atom>& atoms) {
  std::vector<std::string> names(atoms.size());
  if (!alive_ || atoms.empty()) return names;
  std::vector<Atom> asked = atoms;
  std::vector<char*> texts(atoms.size(), nullptr);
  roundTrip([&] {
    return x_.XGetAtomNames(display_, asked.data(), static_cast<int>(asked.size()), texts.data());
  });
  for (std::size_t i = 0; i < texts.size(); ++i) {
    if (texts[i] == nullptr) continue;
    if (alive_) names[i] = texts[i];
    x_.XFree(texts[i]);
  }
  return names;
}

std::size_t X11Connection::maxRequestBytes() {
  long units = x_.XExtendedMaxRequestSize(display_);
  if (units == 0) units = x_.XMaxRequestSize(display_);
  return static_cast<std::size_t>(units) * 4;
}

}  // namespace velmuro::linux_desktop
