#include "platform/linux/accessibility/bus_connection.h"

#include <utility>

namespace velmuro::linux_desktop {

namespace {

// Error names libdbus gives a call that got no answer: none in time, or the connection closed.
bool isNoAnswer(const std::string& errorName) {
  return errorName == DBUS_ERROR_NO_REPLY || errorName == DBUS_ERROR_DISCONNECTED ||
         errorName == DBUS_ERROR_TIMEOUT || errorName == DBUS_ERROR_TIMED_OUT;
}

// Appends the call's arguments; false when libdbus is out of memory.
bool appendArguments(const DBusLibrary& dbus, DBusMessage* message,
                     const std::vector<CallArgument>& arguments) {
  DBusMessageIter iter;
  dbus.dbus_message_iter_init_append(message, &iter);
  for (const CallArgument& argument : arguments) {
    dbus_bool_t appended = FALSE;
    if (const std::string* text = std::get_if<std::string>(&argument)) {
      const char* value = text->c_str();
      appended = dbus.dbus_message_iter_append_basic(&iter, DBUS_TYPE_STRING, &value);
    } else if (const std::int32_t* number = std::get_if<std::int32_t>(&argument)) {
      appended = dbus.dbus_message_iter_append_basic(&iter, DBUS_TYPE_INT32, number);
    } else {
      appended = dbus.dbus_message_iter_append_basic(&iter, DBUS_TYPE_UINT32,
                                                     &std::get<std::uint32_t>(argument));
    }
    if (!appended) return false;
  }
  return true;
}

}  // namespace

Reply::~Reply() {
  if (message_ != nullptr) dbus_->dbus_message_unref(message_);
}

Reply::Reply(Reply&& other) noexcept
    : dbus_(other.dbus_), message_(std::exchange(other.message_, nullptr)) {}

Reply& Reply::operator=(Reply&& other) noexcept {
  if (this != &other) {
    if (message_ != nullptr) dbus_->dbus_message_unref(message_);
    dbus_ = other.dbus_;
    message_ = std::exchange(other.message_, nullptr);
  }
  return *this;
}

bool Reply::isError() const {
  return dbus_->dbus_message_get_type(message_) == DBUS_MESSAGE_TYPE_ERROR;
}

std::string Reply::errorName() const {
  const char* name = dbus_->dbus_message_get_error_name(message_);
  return name == nullptr ? std::string() : std::string(name);
}

PendingReply::~PendingReply() { release(); }

PendingReply::PendingReply(PendingReply&& other) noexcept
    : connection_(other.connection_), pending_(std::exchange(other.pending_, nullptr)) {}

PendingReply& PendingReply::operator=(PendingReply&& other) noexcept {
  if (this != &other) {
    release();
    connection_ = other.connection_;
    pending_ = std::exchange(other.pending_, nullptr);
  }
  return *this;
}

void PendingReply::release() {
  if (pending_ == nullptr) return;
  const DBusLibrary& dbus = connection_->dbus_;
  dbus.dbus_pending_call_cancel(pending_);
  dbus.dbus_pending_call_unref(pending_);
  pending_ = nullptr;
}

std::optional<Reply> PendingReply::wait() {
  if (pending_ == nullptr) return std::nullopt;
  BusConnection& connection = *connection_;
  const DBusLibrary& dbus = connection.dbus_;
  if (connection.lost_) {
    release();
    return std::nullopt;
  }
  if (!dbus.dbus_pending_call_get_completed(pending_)) {
    // Takes in what has arrived already: the reply may be there, unread.
    dbus.dbus_connection_read_write(connection.connection_, 0);
  }
  if (!dbus.dbus_pending_call_get_completed(pending_)) {
    ++connection.roundTrips_;
    dbus.dbus_pending_call_block(pending_);
  }
  DBusMessage* message = dbus.dbus_pending_call_steal_reply(pending_);
  release();
  if (message == nullptr) {
    connection.lost_ = true;
    return std::nullopt;
  }
  Reply reply(dbus, message);
  if (reply.isError() && isNoAnswer(reply.errorName())) {
    connection.lost_ = true;
    return std::nullopt;
  }
  return reply;
}

std::unique_ptr<BusConnection> BusConnection::open(const DBusLibrary& dbus,
                                                   const std::string& address, bool messageBus,
                                                   Milliseconds timeout) {
  DBusError error;
  dbus.dbus_error_init(&error);
  DBusConnection* connection = dbus.dbus_connection_open_private(address.c_str(), &error);
  dbus.dbus_error_free(&error);
  if (connection == nullptr) return nullptr;
  dbus.dbus_connection_set_exit_on_disconnect(connection, FALSE);
  std::unique_ptr<BusConnection> opened(new BusConnection(dbus, connection, timeout));
  if (!opened->authenticate()) return nullptr;
  if (messageBus) {
    // Registering by hand rather than with dbus_bus_register keeps this wait bounded too.
    std::optional<Reply> hello =
        opened->call({DBUS_SERVICE_DBUS, DBUS_PATH_DBUS, DBUS_INTERFACE_DBUS, "Hello", {}});
    if (!hello || hello->isError()) return nullptr;
  }
  return opened;
}

bool BusConnection::authenticate() {
  // A call made before the connection is authenticated waits for the authentication without
  // bound (about half a minute on a peer that never answers), so it is waited for here first.
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + timeout_;
  while (!dbus_.dbus_connection_get_is_authenticated(connection_)) {
    auto left = std::chrono::duration_cast<Milliseconds>(deadline - Clock::now());
    if (left.count() <= 0 || !dbus_.dbus_connection_get_is_connected(connection_)) return false;
    dbus_.dbus_connection_read_write(connection_, static_cast<int>(left.count()) + 1);
  }
  return true;
}

BusConnection::~BusConnection() {
  dbus_.dbus_connection_close(connection_);
  dbus_.dbus_connection_unref(connection_);
}

PendingReply BusConnection::send(const MethodCall& call) {
  if (lost_) return {};
  // libdbus aborts the process on a malformed name, so names that came from elsewhere are
  // checked first; such a call is simply not made.
  if (!call.destination.empty() &&
      !dbus_.dbus_validate_bus_name(call.destination.c_str(), nullptr)) {
    return {};
  }
  if (!dbus_.dbus_validate_path(call.path.c_str(), nullptr)) return {};
  DBusMessage* message = dbus_.dbus_message_new_method_call(
      call.destination.empty() ? nullptr : call.destination.c_str(), call.path.c_str(),
      call.interface, call.member);
  if (message == nullptr) return {};
  DBusPendingCall* pending = nullptr;
  if (appendArguments(dbus_, message, call.arguments)) {
    dbus_.dbus_connection_send_with_reply(connection_, message, &pending,
                                          static_cast<int>(timeout_.count()));
  }
  dbus_.dbus_message_unref(message);
  if (pending == nullptr) {
    // Not sent: the connection has closed.
    lost_ = true;
    return {};
  }
  ++callsSent_;
  return PendingReply(this, pending);
}

}  // namespace velmuro::linux_desktop
