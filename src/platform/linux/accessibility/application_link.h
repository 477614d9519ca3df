#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/linux/accessibility/atspi_requests.h"
#include "platform/linux/accessibility/bus_connection.h"

namespace velmuro::linux_desktop {

// The way to one application's accessible objects: straight to the application over the
// connection it offers for that, else over the accessibility bus. Requests of an application
// that serves nothing on the bus fail at once.
class ApplicationLink {
 public:
  // An application that serves nothing on the bus.
  ApplicationLink() = default;
  // The application that serves busName on the bus; direct is its own connection, if any.
  ApplicationLink(std::shared_ptr<BusConnection> bus, std::string busName,
                  std::unique_ptr<BusConnection> direct);

  // True when the application serves objects on the bus.
  bool serves() const { return bus_ != nullptr; }
  // The application's root object (its application element).
  ObjectReference root() const;
  // Sends the request without waiting for the reply.
  PendingReply send(Request request, const ObjectReference& object);
  // Makes the request and waits for the reply; absent when none came.
  std::optional<Reply> request(Request request, const ObjectReference& object) {
    return send(request, object).wait();
  }
  // The longest time each later request waits for its reply.
  void setTimeout(std::chrono::milliseconds timeout);
  // The requests sent and the round trips waited on so far, over both connections.
  std::uint64_t requestsSent() const;
  std::uint64_t roundTrips() const;

 private:
  std::shared_ptr<BusConnection> bus_;
  std::string busName_;
  std::unique_ptr<BusConnection> direct_;
};

// Links the application that the process serves on the accessibility bus, straight to it when it
// offers a connection of its own; one that serves nothing when no application on the bus belongs
// to the process.
std::shared_ptr<ApplicationLink> linkApplication(const std::shared_ptr<BusConnection>& bus,
                                                 pid_t pid, std::chrono::milliseconds timeout);

// The object's children; empty when they can't be read.
std::vector<ObjectReference> childrenOf(ApplicationLink& link, const ObjectReference& object);
// The roles of the objects, asked for together; 0 (invalid) where one can't be read.
std::vector<std::uint32_t> rolesOf(ApplicationLink& link,
                                   const std::vector<ObjectReference>& objects);

}  // namespace velmuro::linux_desktop
