#include "platform/linux/accessibility/atspi_requests.h"

#include <atspi/atspi-constants.h>

#include "platform/linux/accessibility/message_reader.h"

namespace velmuro::linux_desktop {

namespace {

MethodCall call(const ObjectReference& object, const char* interface, const char* member,
                std::vector<CallArgument> arguments = {}) {
  return {object.busName, object.path, interface, member, std::move(arguments)};
}

MethodCall property(const ObjectReference& object, const char* name) {
  return call(object, DBUS_INTERFACE_PROPERTIES, "Get",
              {std::string(ATSPI_DBUS_INTERFACE_ACCESSIBLE), std::string(name)});
}

// The first argument of a method return, read as a reference: a (so) structure.
std::optional<ObjectReference> readReference(MessageReader& reader) {
  std::optional<MessageReader> fields = reader.enter();
  if (!fields || fields->type() != DBUS_TYPE_STRING) return std::nullopt;
  std::optional<std::string> busName = fields->text();
  if (!busName || fields->type() != DBUS_TYPE_OBJECT_PATH) return std::nullopt;
  std::optional<std::string> path = fields->text();
  if (!path) return std::nullopt;
  return ObjectReference{std::move(*busName), std::move(*path)};
}

// The value inside the reply's variant.
std::optional<MessageReader> variantValue(const Reply& reply) {
  MessageReader reader(reply);
  if (reader.type() != DBUS_TYPE_VARIANT) return std::nullopt;
  return reader.enter();
}

}  // namespace

MethodCall requestCall(Request request, const ObjectReference& object) {
  switch (request) {
    case Request::kRole:
      return call(object, ATSPI_DBUS_INTERFACE_ACCESSIBLE, "GetRole");
    case Request::kChildren:
      return call(object, ATSPI_DBUS_INTERFACE_ACCESSIBLE, "GetChildren");
    case Request::kAttributes:
      return call(object, ATSPI_DBUS_INTERFACE_ACCESSIBLE, "GetAttributes");
    case Request::kState:
      return call(object, ATSPI_DBUS_INTERFACE_ACCESSIBLE, "GetState");
    case Request::kName:
      return property(object, "Name");
    case Request::kParent:
      return property(object, "Parent");
    case Request::kDocumentAttributes:
      return call(object, ATSPI_DBUS_INTERFACE_DOCUMENT, "GetAttributes");
    case Request::kText:
      // An end offset of -1 stands for the end of the text.
      return call(object, ATSPI_DBUS_INTERFACE_TEXT, "GetText",
                  {std::int32_t{0}, std::int32_t{-1}});
    case Request::kHyperlinkURI:
      return call(object, ATSPI_DBUS_INTERFACE_HYPERLINK, "GetURI", {std::int32_t{0}});
    case Request::kDefaultAction:
      return call(object, ATSPI_DBUS_INTERFACE_ACTION, "DoAction", {std::int32_t{0}});
    case Request::kApplicationBusAddress:
      return call(object, ATSPI_DBUS_INTERFACE_APPLICATION, "GetApplicationBusAddress");
  }
  return {};
}

std::optional<std::uint32_t> readRole(const Reply& reply) { return MessageReader(reply).uint32(); }

std::optional<std::vector<ObjectReference>> readReferences(const Reply& reply) {
  MessageReader reader(reply);
  std::optional<MessageReader> list = reader.enter();
  if (!list) return std::nullopt;
  std::vector<ObjectReference> references;
  while (list->type() == DBUS_TYPE_STRUCT) {
    std::optional<ObjectReference> reference = readReference(*list);
    if (!reference) return std::nullopt;
    references.push_back(std::move(*reference));
  }
  return references;
}

std::optional<std::map<std::string, std::string>> readStringMap(const Reply& reply) {
  MessageReader reader(reply);
  std::optional<MessageReader> entries = reader.enter();
  if (!entries) return std::nullopt;
  std::map<std::string, std::string> values;
  while (entries->type() == DBUS_TYPE_DICT_ENTRY) {
    std::optional<MessageReader> entry = entries->enter();
    std::optional<std::string> name = entry ? entry->text() : std::nullopt;
    std::optional<std::string> value = entry ? entry->text() : std::nullopt;
    if (!name || !value) return std::nullopt;
    values.emplace(std::move(*name), std::move(*value));
  }
  return values;
}

std::optional<bool> readHasState(const Reply& reply, std::uint32_t state) {
  MessageReader reader(reply);
  std::optional<MessageReader> words = reader.enter();
  if (!words) return std::nullopt;
  for (std::uint32_t index = 0; words->type() == DBUS_TYPE_UINT32; ++index) {
    std::uint32_t word = *words->uint32();
    if (index == state / 32) return (word >> (state % 32) & 1u) != 0;
  }
  return false;
}

std::optional<std::string> readText(const Reply& reply) { return MessageReader(reply).text(); }

std::optional<std::string> readTextProperty(const Reply& reply) {
  std::optional<MessageReader> value = variantValue(reply);
  if (!value) return std::nullopt;
  return value->text();
}

std::optional<ObjectReference> readReferenceProperty(const Reply& reply) {
  std::optional<MessageReader> value = variantValue(reply);
  if (!value) return std::nullopt;
  std::optional<ObjectReference> reference = readReference(*value);
  if (!reference || reference->path == ATSPI_DBUS_PATH_NULL) return std::nullopt;
  return reference;
}

std::optional<bool> readBoolean(const Reply& reply) { return MessageReader(reply).boolean(); }

std::optional<std::string> documentAddress(const std::map<std::string, std::string>& attributes) {
  for (const char* name : {"URI", "DocURL"}) {
    auto found = attributes.find(name);
    if (found != attributes.end() && !found->second.empty()) return found->second;
  }
  return std::nullopt;
}

}  // namespace velmuro::linux_desktop
