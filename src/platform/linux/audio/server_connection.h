#pragma once

#include <chrono>
#include <functional>
#include <memory>

#include "platform/linux/audio/pulse_library.h"

namespace velmuro::linux_desktop {

// One connection to the desktop's sound server, served by a libpulse event-loop thread. Apart
// from open and the destructor, every method is called with the loop locked (Lock, or from a
// libpulse callback, which runs on the loop thread with the lock held).
class ServerConnection {
 public:
  using Milliseconds = std::chrono::milliseconds;

  // Holds the loop's lock for its scope.
  class Lock {
   public:
    explicit Lock(ServerConnection& connection);
    ~Lock();
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

   private:
    ServerConnection& connection_;
  };

  // A client of the sound server with this application name, not yet connected; null when
  // libpulse can't make one.
  static std::unique_ptr<ServerConnection> create(const PulseLibrary& pulse,
                                                  const char* clientName);
  // Disconnects and stops the loop thread; called without the lock.
  ~ServerConnection();
  ServerConnection(const ServerConnection&) = delete;
  ServerConnection& operator=(const ServerConnection&) = delete;

  // Starts connecting, never starting a server, and starts the loop thread; false when that
  // fails at once. Called without the lock, once the handlers are set.
  bool connect();
  // Waits until the connection is up; false when it failed or the timeout passed first.
  bool waitUntilConnected(Milliseconds timeout);

  // The libpulse functions.
  const PulseLibrary& pulse() const { return pulse_; }
  // The libpulse context, for issuing requests.
  pa_context* context() const { return context_; }
  // True while the connection is up.
  bool connected() const;
  // Runs on the loop thread once the connection is up.
  void setReadyHandler(std::function<void()> handler) { readyHandler_ = std::move(handler); }
  // Runs on the loop thread once, when an established connection is lost.
  void setLostHandler(std::function<void()> handler) { lostHandler_ = std::move(handler); }

  // Counts a request in flight until finish() (null: the request could not be sent).
  bool track(pa_operation* operation);
  // Marks one tracked request as answered and wakes the waits.
  void finish();
  // The tracked requests not answered yet.
  int inFlight() const { return inFlight_; }
  // Wakes every wait, for callbacks that changed what a wait looks at.
  void wake();
  // Waits until done() holds; false when the connection was lost or the timeout passed first.
  bool waitUntil(const std::function<bool()>& done, Milliseconds timeout);
  // Waits until every tracked request is answered, as waitUntil does.
  bool waitForAnswers(Milliseconds timeout);

 private:
  ServerConnection(const PulseLibrary& pulse, pa_threaded_mainloop* loop, pa_context* context);
  static void onStateChange(pa_context* context, void* self);

  const PulseLibrary& pulse_;
  pa_threaded_mainloop* loop_;
  pa_context* context_;
  bool wasReady_ = false;
  int inFlight_ = 0;
  std::function<void()> readyHandler_;
  std::function<void()> lostHandler_;
};

}  // namespace velmuro::linux_desktop
