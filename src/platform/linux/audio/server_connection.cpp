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
                                   std::string clientName)
    : pulse_(pulse), loop_(loop), clientName_(std::move(clientName)) {}

std::unique_ptr<ServerConnection> ServerConnection::create(const PulseLibrary& pulse,
                                                           const char* clientName) {
  pa_threaded_mainloop* loop = pulse.pa_threaded_mainloop_new();
  if (loop == nullptr) return nullptr;
  std::unique_ptr<ServerConnection> connection(new ServerConnection(pulse, loop, clientName));
  if (!connection->renewContext()) return nullptr;
  return connection;
}

bool ServerConnection::renewContext() {
  pa_proplist* properties = pulse_.pa_proplist_new();
  pulse_.pa_proplist_sets(properties, PA_PROP_APPLICATION_NAME, clientName_.c_str());
  pa_context* context = pulse_.pa_context_new_with_proplist(
      pulse_.pa_threaded_mainloop_get_api(loop_), clientName_.c_str(), properties);
  pulse_.pa_proplist_free(properties);
  if (context == nullptr) return false;
  if (context_ != nullptr) {
    pulse_.pa_context_set_state_callback(context_, nullptr, nullptr);
    pulse_.pa_context_set_subscribe_callback(context_, nullptr, nullptr);
    pulse_.pa_context_disconnect(context_);
    pulse_.pa_context_unref(context_);
  }
  context_ = context;
  pulse_.pa_context_set_state_callback(context_, onStateChange, this);
  if (subscriptionHandler_ != nullptr) {
    pulse_.pa_context_set_subscribe_callback(context_, subscriptionHandler_, subscriptionUserdata_);
  }
  return true;
}

void ServerConnection::setSubscriptionHandler(pa_context_subscribe_cb_t handler, void* userdata) {
  subscriptionHandler_ = handler;
  subscriptionUserdata_ = userdata;
  pulse_.pa_context_set_subscribe_callback(context_, handler, userdata);
}

bool ServerConnection::startConnecting() {
  // A missing server must fail the mute, never be started by it.
  return pulse_.pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0;
}

bool ServerConnection::connect() {
  if (pulse_.pa_threaded_mainloop_start(loop_) < 0) return false;
  Lock lock(*this);
  if (startConnecting()) return true;
  scheduleRetry();
  return retry_ != nullptr;
}

ServerConnection::Wait ServerConnection::waitUntilConnected(Milliseconds timeout) {
  return waitUntil([this] { return ready_; }, timeout);
}

ServerConnection::~ServerConnection() {
  pulse_.pa_threaded_mainloop_stop(loop_);
  pulse_.pa_context_set_state_callback(context_, nullptr, nullptr);
  pulse_.pa_context_set_subscribe_callback(context_, nullptr, nullptr);
  pulse_.pa_context_disconnect(context_);
  pulse_.pa_context_unref(context_);
  // Frees the events still pending with the loop, a retry among them.
  pulse_.pa_threaded_mainloop_free(loop_);
}

pa_mainloop_api* ServerConnection::api() const {
  return pulse_.pa_threaded_mainloop_get_api(loop_);
}

void ServerConnection::onStateChange(pa_context* context, void* self) {
  auto* connection = static_cast<ServerConnection*>(self);
  pa_context_state_t state = connection->pulse_.pa_context_get_state(context);
  if (state == PA_CONTEXT_READY && !connection->ready_) {
    connection->ready_ = true;
    if (connection->readyHandler_) connection->readyHandler_();
  } else if (!PA_CONTEXT_IS_GOOD(state)) {
    if (connection->ready_) {
      connection->ready_ = false;
      ++connection->losses_;
      // Requests in flight are dropped with the connection, unanswered.
      connection->inFlight_ = 0;
      if (connection->lostHandler_) connection->lostHandler_();
    }
    connection->scheduleRetry();
  }
  connection->wake();
}

void ServerConnection::scheduleRetry() {
  if (retryInterval_.count() <= 0 || retry_ != nullptr) return;
  // The context may not be replaced inside its own callback: a timer does it.
  retry_ = pulse_.pa_context_rttime_new(
      context_,
      pulse_.pa_rtclock_now() + static_cast<pa_usec_t>(retryInterval_.count()) * PA_USEC_PER_MSEC,
      onRetry, this);
}

void ServerConnection::onRetry(pa_mainloop_api* api, pa_time_event* event, const struct timeval*,
                               void* self) {
  auto* connection = static_cast<ServerConnection*>(self);
  api->time_free(event);
  connection->retry_ = nullptr;
  if (!connection->renewContext() || !connection->startConnecting()) connection->scheduleRetry();
  connection->wake();
}

bool ServerConnection::connected() const {
  return pulse_.pa_context_get_state(context_) == PA_CONTEXT_READY;
}

bool ServerConnection::alive() const {
  return PA_CONTEXT_IS_GOOD(pulse_.pa_context_get_state(context_)) || retry_ != nullptr;
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

ServerConnection::Wait ServerConnection::waitUntil(const std::function<bool()>& done,
                                                   Milliseconds timeout) {
  const unsigned losses = losses_;
  // A lost connection also counts its requests as answered: the loss comes first.
  auto disconnected = [&] { return losses_ != losses || !alive(); };
  if (disconnected()) return Wait::kDisconnected;
  if (done()) return Wait::kDone;
  if (timeout.count() <= 0) return Wait::kTimedOut;
  Deadline deadline{&pulse_, loop_};
  pa_time_event* event = pulse_.pa_context_rttime_new(
      context_,
      pulse_.pa_rtclock_now() + static_cast<pa_usec_t>(timeout.count()) * PA_USEC_PER_MSEC,
      onDeadline, &deadline);
  if (event == nullptr) return Wait::kTimedOut;
  while (!done() && !disconnected() && !deadline.passed) pulse_.pa_threaded_mainloop_wait(loop_);
  api()->time_free(event);
  if (disconnected()) return Wait::kDisconnected;
  return done() ? Wait::kDone : Wait::kTimedOut;
}

ServerConnection::Wait ServerConnection::waitForAnswers(Milliseconds timeout) {
  return waitUntil([this] { return inFlight_ == 0; }, timeout);
}

}  // namespace velmuro::linux_desktop
