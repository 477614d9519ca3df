#include "platform/linux/audio/server_connection.h"

namespace velmuro::linux_desktop {

namespace {

// Marks a wait's deadline as passed and wakes it.
struct Deadline {
  const PulseLibrary* pulse;
  pa_threaded_mainloop* loop;
  bool passed = false;
};

void onDeadline(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* userdata) {
  auto* deadline = static_cast<Deadline*>(userdata);
  deadline->passed = true;
  deadline->pulse->pa_threaded_mainloop_signal(deadline->loop, 0);
}

}  // namespace

ServerConnection::Lock::Lock(ServerConnection& connection) : connection_(connection) {
  connection_.pulse_.pa_threaded_mainloop_lock(connection_.loop_);
}

ServerConnection::Lock::~Lock() {
  connection_.pulse_.pa_threaded_mainloop_unlock(connection_.loop_);
}

ServerConnection::ServerConnection(const PulseLibrary& pulse, pa_threaded_mainloop* loop,
                                   pa_context* context)
    : pulse_(pulse), loop_(loop), context_(context) {}

std::unique_ptr<ServerConnection> ServerConnection::create(const PulseLibrary& pulse,
                                                           const char* clientName) {
  pa_threaded_mainloop* loop = pulse.pa_threaded_mainloop_new();
  if (loop == nullptr) return nullptr;
  pa_proplist* properties = pulse.pa_proplist_new();
  pulse.pa_proplist_sets(properties, PA_PROP_APPLICATION_NAME, clientName);
  pa_context* context = pulse.pa_context_new_with_proplist(pulse.pa_threaded_mainloop_get_api(loop),
                                                           clientName, properties);
  pulse.pa_proplist_free(properties);
  if (context == nullptr) {
    pulse.pa_threaded_mainloop_free(loop);
    return nullptr;
  }
  std::unique_ptr<ServerConnection> connection(new ServerConnection(pulse, loop, context));
  pulse.pa_context_set_state_callback(context, onStateChange, connection.get());
  return connection;
}

bool ServerConnection::connect() {
  // A missing server must fail the mute, never be started by it.
  return pulse_.pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0 &&
         pulse_.pa_threaded_mainloop_start(loop_) >= 0;
}

bool ServerConnection::waitUntilConnected(Milliseconds timeout) {
  return waitUntil([this] { return wasReady_; }, timeout);
}

ServerConnection::~ServerConnection() {
  pulse_.pa_threaded_mainloop_stop(loop_);
  pulse_.pa_context_set_state_callback(context_, nullptr, nullptr);
  pulse_.pa_context_disconnect(context_);
  pulse_.pa_context_unref(context_);
  pulse_.pa_threaded_mainloop_free(loop_);
}

void ServerConnection::onStateChange(pa_context* context, void* self) {
  auto* connection = static_cast<ServerConnection*>(self);
  pa_context_state_t state = connection->pulse_.pa_context_get_state(context);
  if (state == PA_CONTEXT_READY && !connection->wasReady_) {
    connection->wasReady_ = true;
    if (connection->readyHandler_) connection->readyHandler_();
  } else if (!PA_CONTEXT_IS_GOOD(state) && connection->wasReady_) {
    connection->wasReady_ = false;
    // Requests in flight are dropped with the connection, unanswered.
    connection->inFlight_ = 0;
    if (connection->lostHandler_) connection->lostHandler_();
  }
  connection->wake();
}

bool ServerConnection::connected() const {
  return pulse_.pa_context_get_state(context_) == PA_CONTEXT_READY;
}

bool ServerConnection::track(pa_operation* operation) {
  if (operation == nullptr) return false;
  pulse_.pa_operation_unref(operation);
  ++inFlight_;
  return true;
}

void ServerConnection::finish() {
  if (inFlight_ > 0) --inFlight_;
  wake();
}

void ServerConnection::wake() { pulse_.pa_threaded_mainloop_signal(loop_, 0); }

bool ServerConnection::waitUntil(const std::function<bool()>& done, Milliseconds timeout) {
  auto good = [&] { return PA_CONTEXT_IS_GOOD(pulse_.pa_context_get_state(context_)); };
  if (done()) return good();
  if (!good() || timeout.count() <= 0) return false;
  Deadline deadline{&pulse_, loop_};
  pa_time_event* event = pulse_.pa_context_rttime_new(
      context_,
      pulse_.pa_rtclock_now() + static_cast<pa_usec_t>(timeout.count()) * PA_USEC_PER_MSEC,
      onDeadline, &deadline);
  if (event == nullptr) return false;
  while (!done() && good() && !deadline.passed) pulse_.pa_threaded_mainloop_wait(loop_);
  pa_mainloop_api* api = pulse_.pa_threaded_mainloop_get_api(loop_);
  api->time_free(event);
  return done() && good();
}

bool ServerConnection::waitForAnswers(Milliseconds timeout) {
  return waitUntil([this] { return inFlight_ == 0; }, timeout);
}

}  // namespace velmuro::linux_desktop
