#pragma once

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "platform/linux/audio/pulse_library.h"

namespace velmuro::linux_desktop {

// One connection to the desktop's sound server, served by a libpulse event-loop thread, which can
// be made again after the server went away (it crashed or was restarted). Apart from create,
// connect and the destructor, every method is called with the loop locked (Lock, or from a
// libpulse callback, which runs on the loop thread with the lock held).
class ServerConnection {
 public:
  using Milliseconds = std::chrono::milliseconds;
  // How a wait ended.
  enum class Wait { kDone, kDisconnected, kTimedOut };

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

  // Starts the loop thread and connecting, never starting a server; false when that fails at once
  // and no retry is set. Called without the lock, once the handlers are set.
  bool connect();
  // From now on, a connection that fails or is lost is tried again after this interval.
  void setRetryInterval(Milliseconds interval) { retryInterval_ = interval; }
  // Waits until the connection is up.
  Wait waitUntilConnected(Milliseconds timeout);

  // The libpulse functions.
  const PulseLibrary& pulse() const { return pulse_; }
  // The libpulse context of the current connection, for issuing requests.
  pa_context* context() const { return context_; }
  // The loop's interface, for events of the caller's own.
  pa_mainloop_api* api() const;
  // True while the connection is up.
  bool connected() const;
  // Runs on the loop thread each time the connection comes up.
  void setReadyHandler(std::function<void()> handler) { readyHandler_ = std::move(handler); }
  // Runs on the loop thread each time an established connection is lost.
  void setLostHandler(std::function<void()> handler) { lostHandler_ = std::move(handler); }
  // Receives the server's events on every connection.
  void setSubscriptionHandler(pa_context_subscribe_cb_t handler, void* userdata);

  // Counts a request in flight until finish() (null: the request could not be sent).
  bool track(pa_operation* operation);
  // Marks one tracked request as answered and wakes the waits.
  void finish();
  // Wakes every wait, for callbacks that changed what a wait looks at.
  void wake();
  // Waits until done() holds; kDisconnected when the connection was lost meanwhile, or is down
  // with no retry to come.
  Wait waitUntil(const std::function<bool()>& done, Milliseconds timeout);
  // Waits until every tracked request is answered, as waitUntil does.
  Wait waitForAnswers(Milliseconds timeout);
  // Waits this long on the loop; false when the connection was lost meanwhile.
  bool pause(Milliseconds duration) {
    return waitUntil([] { return false; }, duration) != Wait::kDisconnected;
  }
  // The time left until the deadline, never less than none.
  static Milliseconds until(std::chrono::steady_clock::time_point deadline) {
    return std::max(Milliseconds{0},
                    std::chrono::ceil<Milliseconds>(deadline - std::chrono::steady_clock::now()));
  }

 private:
  ServerConnection(const PulseLibrary& pulse, pa_threaded_mainloop* loop, std::string clientName);
  // Replaces the context with a fresh one, with the handlers set; false when libpulse can't.
  bool renewContext();
  // Starts connecting the current context; false when that fails at once.
  bool startConnecting();
  void scheduleRetry();
  // True while the connection is up, on its way, or to be tried again.
  bool alive() const;
  static void onStateChange(pa_context* context, void* self);
  static void onRetry(pa_mainloop_api* api, pa_time_event* event, const struct timeval*,
                      void* self);

  const PulseLibrary& pulse_;
  pa_threaded_mainloop* loop_;
  std::string clientName_;
  pa_context* context_ = nullptr;
  bool ready_ = false;
  // Counts the established connections lost, so that a wait sees a loss it slept through.
  unsigned losses_ = 0;
  int inFlight_ = 0;
  Milliseconds retryInterval_{0};
  pa_time_event* retry_ = nullptr;
  std::function<void()> readyHandler_;
  std::function<void()> lostHandler_;
  pa_context_subscribe_cb_t subscriptionHandler_ = nullptr;
  void* subscriptionUserdata_ = nullptr;
};

}  // namespace velmuro::linux_desktop
