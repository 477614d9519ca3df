#include "platform/linux/accessibility/attribute_reads.h"

#include <atspi/atspi-constants.h>

#include <algorithm>
#include <map>
#include <optional>
#include <vector>

#include "platform/linux/accessibility/menu_bar.h"
#include "platform/linux/accessibility/tree_wake.h"

namespace velmuro::linux_desktop {

namespace {

using platform::AXError;
using platform::AXValue;
using Attributes = std::map<std::string, std::string>;

// The code for a request that failed: no answer in time, or an error the application sent.
AXError failureOf(const std::optional<Reply>& reply, AXError unsupported) {
  if (!reply) return platform::kAXErrorCannotComplete;
  const std::string name = reply->errorName();
  if (name == DBUS_ERROR_UNKNOWN_OBJECT) return platform::kAXErrorInvalidUIElement;
  if (name == DBUS_ERROR_UNKNOWN_METHOD || name == DBUS_ERROR_UNKNOWN_INTERFACE) {
    return unsupported;
  }
  return platform::kAXErrorFailure;
}

// The requests that every walk makes of each node it visits.
bool isWalkRequest(Request request) {
  return request == Request::kRole || request == Request::kAttributes ||
         request == Request::kChildren;
}

// How many objects of a list a walk request is sent to at once. More would queue the requests
// that follow behind them in the application, which answers one after the other, and a long list
// could then keep those beyond their timeout.
constexpr std::size_t kAskedAhead = 16;

// Makes the request of the node. A walk asks the same of each node of a list in turn, so when a
// node is asked in that order, the next ones are asked too, in the same round trip; each takes
// its answer when its turn comes (an answer as old as the walk of the earlier siblings'
// subtrees). A node asked out of that order, or again, is asked afresh.
std::optional<Reply> requestOf(const AccessibleNode& node, Request request) {
  SiblingList* list = node.siblings.get();
  if (list == nullptr || !isWalkRequest(request)) return node.link->request(request, node.object);
  AskedAhead& ahead = list->asked[request];
  if (ahead.answers.empty()) ahead.answers.resize(list->objects.size());
  if (node.index == ahead.sentUpTo) {
    const std::size_t end = std::min(list->objects.size(), node.index + kAskedAhead);
    for (std::size_t i = node.index; i < end; ++i) {
      ahead.answers[i] = node.link->send(request, list->objects[i]);
    }
    ahead.sentUpTo = end;
  }
  PendingReply& answer = ahead.answers[node.index];
  if (answer.empty()) return node.link->request(request, node.object);
  return answer.wait();
}

// Makes the request and reads its reply into out; a reply of the wrong shape is a failure.
template <typename T, typename ReadReply>
AXError ask(const AccessibleNode& node, Request kind, ReadReply read, T& out) {
  std::optional<Reply> reply = requestOf(node, kind);
  if (!reply || reply->isError()) {
    return failureOf(reply, platform::kAXErrorAttributeUnsupported);
  }
  std::optional<T> value = read(*reply);
  if (!value) return platform::kAXErrorFailure;
  out = std::move(*value);
  return platform::kAXErrorSuccess;
}

AXError askRole(const AccessibleNode& node, std::uint32_t& role) {
  return ask(node, Request::kRole, readRole, role);
}

// The macOS role name the readers compare with.
std::string roleName(std::uint32_t role) {
  switch (role) {
    case ATSPI_ROLE_DOCUMENT_WEB:
      return "AXWebArea";
    case ATSPI_ROLE_ENTRY:
    case ATSPI_ROLE_PASSWORD_TEXT:
      return "AXTextField";
    case ATSPI_ROLE_COMBO_BOX:
      return "AXComboBox";
    case ATSPI_ROLE_PUSH_BUTTON:
    case ATSPI_ROLE_TOGGLE_BUTTON:
      return "AXButton";
    default:
      return "AXUnknown";
  }
}

AXValue elementsOf(const AccessibleNode& node, std::vector<ObjectReference> objects,
                   MenuShape shape = MenuShape::kNone) {
  return makeElements(node.link, std::move(objects), shape);
}

AXError readWindows(const AccessibleNode& node, AXValue& out) {
  if (!(node.object == node.link->root())) return platform::kAXErrorAttributeUnsupported;
  out = elementsOf(node, applicationFrames(*node.link));
  return platform::kAXErrorSuccess;
}

AXError readMenuBar(const AccessibleNode& node, AXValue& out) {
  if (!(node.object == node.link->root())) return platform::kAXErrorAttributeUnsupported;
  std::optional<ObjectReference> bar = findMenuBar(*node.link);
  if (!bar) return platform::kAXErrorNoValue;
  out = makeElement(node.link, std::move(*bar), MenuShape::kMenuBar);
  return platform::kAXErrorSuccess;
}

// The children in the menu shape: a menu bar's are its menu-bar items; a menu-bar item's is its
// menu, when it holds anything; every other object's are its own.
AXError readChildren(const AccessibleNode& node, AXValue& out) {
  std::vector<ObjectReference> children;
  AXError error = ask(node, Request::kChildren, readReferences, children);
  if (error != platform::kAXErrorSuccess) return error;
  switch (node.shape) {
    case MenuShape::kMenuBar:
      out = elementsOf(node, std::move(children), MenuShape::kMenuBarItem);
      break;
    case MenuShape::kMenuBarItem:
      if (children.empty()) {
        out = std::vector<platform::AXElement>{};
      } else {
        out =
            std::vector<platform::AXElement>{makeElement(node.link, node.object, MenuShape::kMenu)};
      }
      break;
    case MenuShape::kMenu:
    case MenuShape::kNone:
      out = elementsOf(node, std::move(children));
      break;
  }
  return error;
}

AXError readRoleName(const AccessibleNode& node, AXValue& out) {
  std::uint32_t role = 0;
  AXError error = askRole(node, role);
  if (error == platform::kAXErrorSuccess) out = platform::AXText{roleName(role)};
  return error;
}

AXError readSubrole(const AccessibleNode& node, AXValue& out) {
  std::uint32_t role = 0;
  AXError error = askRole(node, role);
  if (error != platform::kAXErrorSuccess) return error;
  if (role != ATSPI_ROLE_DIALOG) return platform::kAXErrorNoValue;
  out = platform::AXText{"AXApplicationDialog"};
  return error;
}

// A web document's address; no value for any other object.
AXError readDocumentAddress(const AccessibleNode& node, AXValue& out) {
  std::uint32_t role = 0;
  AXError error = askRole(node, role);
  if (error != platform::kAXErrorSuccess) return error;
  if (role != ATSPI_ROLE_DOCUMENT_WEB) return platform::kAXErrorNoValue;
  Attributes attributes;
  error = ask(node, Request::kDocumentAttributes, readStringMap, attributes);
  if (error != platform::kAXErrorSuccess) return error;
  std::optional<std::string> address = documentAddress(attributes);
  if (!address) return platform::kAXErrorNoValue;
  out = platform::AXURL{std::move(*address)};
  return error;
}

// A web document's address, else a link's; an empty address is none.
AXError readURL(const AccessibleNode& node, AXValue& out) {
  AXError error = readDocumentAddress(node, out);
  if (error != platform::kAXErrorNoValue) return error;
  std::string address;
  error = ask(node, Request::kHyperlinkURI, readText, address);
  if (error != platform::kAXErrorSuccess) return error;
  if (address.empty()) return platform::kAXErrorNoValue;
  out = platform::AXURL{std::move(address)};
  return error;
}

AXError readValue(const AccessibleNode& node, AXValue& out) {
  std::string text;
  AXError error = ask(node, Request::kText, readText, text);
  if (error == platform::kAXErrorSuccess) out = platform::AXText{std::move(text)};
  return error;
}

// The id attribute of web content. Chromium's own interface carries ids too (view_N), but
// without the tag attribute that every node of web content has.
AXError readDOMIdentifier(const AccessibleNode& node, AXValue& out) {
  Attributes attributes;
  AXError error = ask(node, Request::kAttributes, readStringMap, attributes);
  if (error != platform::kAXErrorSuccess) return error;
  auto id = attributes.find("id");
  if (id == attributes.end() || attributes.count("tag") == 0) return platform::kAXErrorNoValue;
  out = platform::AXText{id->second};
  return error;
}

AXError readParent(const AccessibleNode& node, AXValue& out) {
  if (node.object == node.link->root()) return platform::kAXErrorNoValue;
  std::optional<Reply> reply = node.link->request(Request::kParent, node.object);
  if (!reply || reply->isError()) return failureOf(reply, platform::kAXErrorAttributeUnsupported);
  std::optional<ObjectReference> parent = readReferenceProperty(*reply);
  if (!parent) return platform::kAXErrorNoValue;
  out = makeElement(node.link, std::move(*parent));
  return platform::kAXErrorSuccess;
}

AXError readTitle(const AccessibleNode& node, AXValue& out) {
  std::string name;
  AXError error = ask(node, Request::kName, readTextProperty, name);
  if (error == platform::kAXErrorSuccess) out = platform::AXText{std::move(name)};
  return error;
}

}  // namespace

AXError readAttribute(const AccessibleNode& node, const std::string& attribute, AXValue& outValue) {
  if (!node.link) return platform::kAXErrorAttributeUnsupported;
  if (!node.link->serves()) return platform::kAXErrorCannotComplete;
  if (attribute == "AXWindows") return readWindows(node, outValue);
  if (attribute == "AXChildren") return readChildren(node, outValue);
  if (attribute == "AXRole") return readRoleName(node, outValue);
  if (attribute == "AXSubrole") return readSubrole(node, outValue);
  if (attribute == "AXDocument") return readDocumentAddress(node, outValue);
  if (attribute == "AXURL") return readURL(node, outValue);
  if (attribute == "AXValue") return readValue(node, outValue);
  if (attribute == "AXDOMIdentifier") return readDOMIdentifier(node, outValue);
  if (attribute == "AXParent") return readParent(node, outValue);
  if (attribute == "AXTitle") return readTitle(node, outValue);
  if (attribute == "AXMenuBar") return readMenuBar(node, outValue);
  if (attribute == "AXEnhancedUserInterface") return platform::kAXErrorNoValue;
  return platform::kAXErrorAttributeUnsupported;
}

AXError performNamedAction(const AccessibleNode& node, const std::string& action) {
  if (!node.link || action != "AXPress") return platform::kAXErrorActionUnsupported;
  if (!node.link->serves()) return platform::kAXErrorCannotComplete;
  std::optional<Reply> reply = node.link->request(Request::kDefaultAction, node.object);
  if (!reply || reply->isError()) return failureOf(reply, platform::kAXErrorActionUnsupported);
  std::optional<bool> done = readBoolean(*reply);
  if (!done) return platform::kAXErrorFailure;
  return *done ? platform::kAXErrorSuccess : platform::kAXErrorCannotComplete;
}

}  // namespace velmuro::linux_desktop
