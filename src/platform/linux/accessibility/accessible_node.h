#pragma once

#include <map>
#include <memory>
#include <vector>

#include "platform/accessibility_api.h"
#include "platform/linux/accessibility/application_link.h"

namespace velmuro::linux_desktop {

// One request made of the objects of a list ahead of their turn: the answers waiting to be taken,
// and how far down the list it has been sent.
struct AskedAhead {
  std::vector<PendingReply> answers;
  std::size_t sentUpTo = 0;
};

// The objects of one list as it came (a node's children, an application's windows), and the
// requests made of them ahead of their turn.
struct SiblingList {
  std::vector<ObjectReference> objects;
  std::map<Request, AskedAhead> asked;
};

// The part an object plays in the menu shape the readers walk: application > menu bar >
// menu-bar item > menu > items. A toolkit's top-level menu holds its items itself (GTK), so it is
// shown twice: as the menu-bar item, whose one child is the same object as the menu.
enum class MenuShape { kNone, kMenuBar, kMenuBarItem, kMenu };

// What an element handle of this backend stands for: one accessible object of an application, or
// (with no link) the system-wide element, with the part it plays in the menu shape. An object
// that came in a list knows the list and its place in it.
struct AccessibleNode {
  std::shared_ptr<ApplicationLink> link;
  ObjectReference object;
  std::shared_ptr<SiblingList> siblings;
  std::size_t index = 0;
  MenuShape shape = MenuShape::kNone;
};

// A handle to the object, reached through the link.
inline platform::AXElement makeElement(std::shared_ptr<ApplicationLink> link,
                                       ObjectReference object, MenuShape shape = MenuShape::kNone) {
  return platform::AXElement(std::make_shared<const AccessibleNode>(
      AccessibleNode{std::move(link), std::move(object), nullptr, 0, shape}));
}

// Handles to the objects of a list, in its order, reached through the link.
inline std::vector<platform::AXElement> makeElements(std::shared_ptr<ApplicationLink> link,
                                                     std::vector<ObjectReference> objects,
                                                     MenuShape shape = MenuShape::kNone) {
  auto list = std::make_shared<SiblingList>();
  list->objects = std::move(objects);
  std::vector<platform::AXElement> elements;
  elements.reserve(list->objects.size());
  for (std::size_t i = 0; i < list->objects.size(); ++i) {
    elements.emplace_back(std::make_shared<const AccessibleNode>(
        AccessibleNode{link, list->objects[i], list, i, shape}));
  }
  return elements;
}

// The object a present handle of this backend stands for.
inline const AccessibleNode& nodeOf(const platform::AXElement& element) {
  return *static_cast<const AccessibleNode*>(element.get());
}

}  // namespace velmuro::linux_desktop
