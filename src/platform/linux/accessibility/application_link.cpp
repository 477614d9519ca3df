#include "platform/linux/accessibility/application_link.h"

#include <atspi/atspi-constants.h>

#include <utility>
#include <vector>

#include "platform/linux/accessibility/message_reader.h"

namespace velmuro::linux_desktop {

namespace {

// The bus names of the applications registered on the bus, in the registry's order.
std::vector<std::string> registeredApplications(BusConnection& bus) {
  std::optional<Reply> reply =
      bus.call(requestCall(Request::kChildren, {ATSPI_DBUS_NAME_REGISTRY, ATSPI_DBUS_PATH_ROOT}));
  std::vector<std::string> names;
  if (!reply) return names;
  for (ObjectReference& application :
       readReferences(*reply).value_or(std::vector<ObjectReference>{})) {
    names.push_back(std::move(application.busName));
  }
  return names;
}

// The first of the applications whose connection belongs to the process; empty when none does.
std::string applicationOfProcess(BusConnection& bus, pid_t pid) {
  std::vector<std::string> names = registeredApplications(bus);
  // One round trip for all of them.
  std::vector<PendingReply> owners;
  for (const std::string& name : names) {
    owners.push_back(bus.send({DBUS_SERVICE_DBUS,
                               DBUS_PATH_DBUS,
                               DBUS_INTERFACE_DBUS,
                               "GetConnectionUnixProcessID",
                               {name}}));
  }
  for (std::size_t i = 0; i < names.size(); ++i) {
    std::optional<Reply> reply = owners[i].wait();
    if (!reply) continue;
    std::optional<std::uint32_t> owner = MessageReader(*reply).uint32();
    if (owner && static_cast<pid_t>(*owner) == pid) return names[i];
  }
  return {};
}

}  // namespace

ApplicationLink::ApplicationLink(std::shared_ptr<BusConnection> bus, std::string busName,
                                 std::unique_ptr<BusConnection> direct)
    : bus_(std::move(bus)), busName_(std::move(busName)), direct_(std::move(direct)) {}

ObjectReference ApplicationLink::root() const { return {busName_, ATSPI_DBUS_PATH_ROOT}; }

PendingReply ApplicationLink::send(Request request, const ObjectReference& object) {
  if (!bus_) return {};
  MethodCall call = requestCall(request, object);
  // Objects of this application go over its own connection; objects it embeds from another
  // application (another bus name) over the bus.
  if (direct_ && object.busName == busName_) {
    call.destination.clear();
    return direct_->send(call);
  }
  return bus_->send(call);
}

void ApplicationLink::setTimeout(std::chrono::milliseconds timeout) {
  if (bus_) bus_->setTimeout(timeout);
  if (direct_) direct_->setTimeout(timeout);
}

std::uint64_t ApplicationLink::requestsSent() const {
  return (bus_ ? bus_->callsSent() : 0) + (direct_ ? direct_->callsSent() : 0);
}

std::uint64_t ApplicationLink::roundTrips() const {
  return (bus_ ? bus_->roundTrips() : 0) + (direct_ ? direct_->roundTrips() : 0);
}

std::shared_ptr<ApplicationLink> linkApplication(const std::shared_ptr<BusConnection>& bus,
                                                 pid_t pid, std::chrono::milliseconds timeout) {
  std::string name = applicationOfProcess(*bus, pid);
  if (name.empty()) return std::make_shared<ApplicationLink>();
  std::unique_ptr<BusConnection> direct;
  if (std::optional<Reply> reply =
          bus->call(requestCall(Request::kApplicationBusAddress, {name, ATSPI_DBUS_PATH_ROOT}))) {
    std::string address = readText(*reply).value_or("");
    if (!address.empty()) direct = BusConnection::open(bus->dbus(), address, false, timeout);
  }
  return std::make_shared<ApplicationLink>(bus, std::move(name), std::move(direct));
}

std::vector<ObjectReference> childrenOf(ApplicationLink& link, const ObjectReference& object) {
  std::optional<Reply> reply = link.request(Request::kChildren, object);
  if (!reply) return {};
  return readReferences(*reply).value_or(std::vector<ObjectReference>{});
}

std::vector<std::uint32_t> rolesOf(ApplicationLink& link,
                                   const std::vector<ObjectReference>& objects) {
  std::vector<PendingReply> pending;
  for (const ObjectReference& object : objects)
    pending.push_back(link.send(Request::kRole, object));
  std::vector<std::uint32_t> roles;
  for (PendingReply& reply : pending) {
    std::optional<Reply> answer = reply.wait();
    std::optional<std::uint32_t> role = answer ? readRole(*answer) : std::nullopt;
    roles.push_back(role.value_or(std::uint32_t{ATSPI_ROLE_INVALID}));
  }
  return roles;
}

}  // namespace velmuro::linux_desktop
