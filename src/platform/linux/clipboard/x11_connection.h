#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/linux/clipboard/x11_library.h"

namespace velmuro::linux_desktop {

using SteadyTime = std::chrono::steady_clock::time_point;

// The atoms the clipboard names, interned once per connection.
struct ClipboardAtoms {
  Atom clipboard = None;
  Atom targets = None;
  Atom timestamp = None;
  Atom multiple = None;
  Atom incr = None;
  Atom atomPair = None;
  Atom utf8String = None;
  Atom transfer = None;  // the property that conversions for this process arrive in
  Atom netWmPid = None;
};

// What the next look at the connection found.
enum class NextEvent { kEvent, kOwnerChange, kNothing };

// The tool's connection to the X server, watching the CLIPBOARD's owner through XFixes from the
// moment it is opened. No wait on the server is unbounded: a request it leaves unanswered for
// 1 second shuts the connection down, and from then on, as after the server has gone, every
// call fails quietly and the count of owner changes stays where it was.
class X11Connection {
 public:
  // Connects to the display the environment names; null when the libraries are missing, no
  // server answers, or it lacks XFixes.
  static std::unique_ptr<X11Connection> open();
  ~X11Connection();
  X11Connection(const X11Connection&) = delete;
  X11Connection& operator=(const X11Connection&) = delete;

  // The functions of the libraries.
  const X11Library& x() const { return x_; }
  // The connection itself.
  Display* display() const { return display_; }
  // The name of the display, for a process that connects to the same server.
  const std::string& displayName() const { return displayName_; }
  // The fixed atoms.
  const ClipboardAtoms& atoms() const { return atoms_; }
  // False once the server has gone or stopped answering.
  bool alive() const { return alive_; }
  // The changes of the CLIPBOARD's owner taken in so far (SetSelectionOwner by anyone, this
  // connection included; an owner's window destroyed or its client gone).
  std::int64_t ownerChanges() const { return ownerChanges_; }

  // Waits until the server has handled every request sent so far and takes in every event it
  // sent before, so that each owner change made by then is counted.
  void sync();
  // The next event, taking owner changes in on the way (reported as kOwnerChange); kNothing at
  // the deadline or once the connection has failed. Events of windows that no longer matter
  // (answers to conversions given up) come out too: the caller skips what is not its own.
  NextEvent next(SteadyTime deadline, XEvent& event);
  // Takes in the events already received, counting owner changes and dropping the rest.
  void takeInEvents();

  // The CLIPBOARD's owner (None when there is none or the call fails).
  Window owner();
  // A fresh unmapped window that reports its property changes; None on failure.
  Window createWindow();
  void destroyWindow(Window window);
  // The server's time now, read from a property change; absent when the server does not say
  // within 1 second.
  std::optional<Time> serverTime();
  // The atom of a name; with onlyIfExists, None when the server has never known the name.
  Atom atom(const std::string& name, bool onlyIfExists);
  // The atoms of names, in order (None for each the server would not make).
  std::vector<Atom> atoms(const std::vector<std::string>& names);
  // The names of atoms, in order (empty for each the server does not know).
  std::vector<std::string> names(const std::vector<Atom>& atoms);
  // The largest request the server takes, in bytes.
  std::size_t maxRequestBytes();

  // Runs one call that waits for the server's answer, shutting the connection down when the
  // answer has not come within 1 second.
  template <typename Call>
  auto roundTrip(Call call) {
    Watch watch(ConnectionNumber(display_));
    return call();
  }

 private:
  // Arms the 1-second limit on the current call for as long as it lives: when it runs out, the
  // socket is shut down (-1: every socket opened since, for a connection being made).
  class Watch {
   public:
    explicit Watch(int socket);
    ~Watch();
    Watch(const Watch&) = delete;
    Watch& operator=(const Watch&) = delete;
  };

  X11Connection(const X11Library& x, Display* display);
  bool start();
  bool isOwnerChange(const XEvent& event) const;
  static void onConnectionLost(Display* display, void* self);

  const X11Library& x_;
  Display* display_;
  std::string displayName_;
  ClipboardAtoms atoms_;
  int fixesEventBase_ = 0;
  Window clock_ = None;  // the window whose property changes tell the server's time
  std::int64_t ownerChanges_ = 0;
  bool alive_ = true;
};

}  // namespace velmuro::linux_desktop
