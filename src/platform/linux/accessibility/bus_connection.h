#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "platform/linux/accessibility/dbus_library.h"

namespace velmuro::linux_desktop {

// One argument of a method call.
using CallArgument = std::variant<std::string, std::int32_t, std::uint32_t>;

// One method call. On a message bus destination names the receiver; on a connection straight to
// an application it stays empty.
struct MethodCall {
  std::string destination;
  std::string path;
  const char* interface = nullptr;
  const char* member = nullptr;
  std::vector<CallArgument> arguments;
};

// A message that answers a call: a method return or an error the receiver sent. Owns it.
class Reply {
 public:
  Reply(const DBusLibrary& dbus, DBusMessage* message) : dbus_(&dbus), message_(message) {}
  ~Reply();
  Reply(Reply&& other) noexcept;
  Reply& operator=(Reply&& other) noexcept;
  Reply(const Reply&) = delete;
  Reply& operator=(const Reply&) = delete;

  // True for an error reply (an unknown object, method or interface, ...).
  bool isError() const;
  // The error's name; empty for a method return.
  std::string errorName() const;
  // The message, for reading its arguments.
  DBusMessage* message() const { return message_; }
  // The library that reads it.
  const DBusLibrary& dbus() const { return *dbus_; }

 private:
  const DBusLibrary* dbus_;
  DBusMessage* message_;
};

class BusConnection;

// A call that was sent and whose reply has not been taken yet.
class PendingReply {
 public:
  PendingReply() = default;
  PendingReply(BusConnection* connection, DBusPendingCall* pending)
      : connection_(connection), pending_(pending) {}
  ~PendingReply();
  PendingReply(PendingReply&& other) noexcept;
  PendingReply& operator=(PendingReply&& other) noexcept;
  PendingReply(const PendingReply&) = delete;
  PendingReply& operator=(const PendingReply&) = delete;

  // Waits for the reply, at most until the call's timeout has passed since it was sent; absent
  // when none came (the receiver did not answer in time or the connection closed). The reply is
  // taken: the call is empty afterwards.
  std::optional<Reply> wait();
  // True when there is no call to wait for: none was sent, or its reply has been taken.
  bool empty() const { return pending_ == nullptr; }

 private:
  void release();
  BusConnection* connection_ = nullptr;
  DBusPendingCall* pending_ = nullptr;
};

// A private connection to a message bus, or straight to one application. Every call waits at
// most the timeout; once one call has gone unanswered the connection is taken as lost and every
// later call fails at once, so that a receiver that hangs costs a run one timeout, not one per
// request.
class BusConnection {
 public:
  using Milliseconds = std::chrono::milliseconds;

  // Connects to the address and authenticates; on a message bus (messageBus) also registers.
  // Absent when that fails or does not end within the timeout (each wait).
  static std::unique_ptr<BusConnection> open(const DBusLibrary& dbus, const std::string& address,
                                             bool messageBus, Milliseconds timeout);
  ~BusConnection();
  BusConnection(const BusConnection&) = delete;
  BusConnection& operator=(const BusConnection&) = delete;

  // Sends the call without waiting; an unsent call's wait gives no reply at once.
  PendingReply send(const MethodCall& call);
  // Sends the call and waits for its reply.
  std::optional<Reply> call(const MethodCall& call) { return send(call).wait(); }
  // The longest time each later call waits for its reply.
  void setTimeout(Milliseconds timeout) { timeout_ = timeout; }
  // True once a call went unanswered or the connection closed.
  bool lost() const { return lost_; }
  // The library behind the connection.
  const DBusLibrary& dbus() const { return dbus_; }
  // The calls sent so far.
  std::uint64_t callsSent() const { return callsSent_; }
  // The waits so far that found their reply not yet there: the round trips this side waited on.
  std::uint64_t roundTrips() const { return roundTrips_; }

 private:
  BusConnection(const DBusLibrary& dbus, DBusConnection* connection, Milliseconds timeout)
      : dbus_(dbus), connection_(connection), timeout_(timeout) {}
  // Waits, at most the timeout, until the connection is authenticated.
  bool authenticate();

  const DBusLibrary& dbus_;
  DBusConnection* connection_;
  Milliseconds timeout_;
  bool lost_ = false;
  std::uint64_t callsSent_ = 0;
  std::uint64_t roundTrips_ = 0;

  friend class PendingReply;
};

}  // namespace velmuro::linux_desktop
