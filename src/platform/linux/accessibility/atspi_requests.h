#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/linux/accessibility/bus_connection.h"

namespace velmuro::linux_desktop {

// One accessible object: the bus name of the application that serves it and its object path.
struct ObjectReference {
  std::string busName;
  std::string path;
  bool operator==(const ObjectReference&) const = default;
};

// The AT-SPI requests the backend makes of an accessible object, each as a call to build and a
// reader of its reply. A reply that is an error or has the wrong shape reads as absent.
enum class Request {
  kRole,                   // Accessible.GetRole
  kChildren,               // Accessible.GetChildren
  kAttributes,             // Accessible.GetAttributes: the object attributes
  kState,                  // Accessible.GetState
  kName,                   // the Accessible.Name property
  kParent,                 // the Accessible.Parent property
  kDocumentAttributes,     // Document.GetAttributes
  kText,                   // Text.GetText over the whole text
  kHyperlinkURI,           // Hyperlink.GetURI of the first anchor
  kDefaultAction,          // Action.DoAction of action 0
  kApplicationBusAddress,  // Application.GetApplicationBusAddress of an application's root
};

// The call that makes the request of the object.
MethodCall requestCall(Request request, const ObjectReference& object);

// GetRole's role number.
std::optional<std::uint32_t> readRole(const Reply& reply);
// The references in a list of them: GetChildren, and the registry's list of applications.
std::optional<std::vector<ObjectReference>> readReferences(const Reply& reply);
// The attributes (GetAttributes, Document.GetAttributes), by name.
std::optional<std::map<std::string, std::string>> readStringMap(const Reply& reply);
// The state set: true when the state's bit is set.
std::optional<bool> readHasState(const Reply& reply, std::uint32_t state);
// A text: Text.GetText, Hyperlink.GetURI, GetApplicationBusAddress.
std::optional<std::string> readText(const Reply& reply);
// A text property's value (Name).
std::optional<std::string> readTextProperty(const Reply& reply);
// A reference property's value (Parent); absent for the null object.
std::optional<ObjectReference> readReferenceProperty(const Reply& reply);
// A Boolean answer (DoAction).
std::optional<bool> readBoolean(const Reply& reply);
// A web document's address among its document attributes: URI (Chromium) or DocURL (Firefox);
// absent when it is empty.
std::optional<std::string> documentAddress(const std::map<std::string, std::string>& attributes);

}  // namespace velmuro::linux_desktop
