#pragma once

#include <string>

#include "platform/accessibility_api.h"
#include "platform/linux/accessibility/accessible_node.h"

namespace velmuro::linux_desktop {

// Reads the attribute named as on macOS from the object's AT-SPI requests: "AXWindows" (the
// application's frames), "AXChildren", "AXRole" (a web document "AXWebArea", an entry or password
// text "AXTextField", a combo box "AXComboBox", a push or toggle button "AXButton", every other
// role "AXUnknown"), "AXSubrole" ("AXApplicationDialog" for a dialog), "AXDocument" and "AXURL" (a
// web document's address; for "AXURL" also a link's), "AXValue" (the text), "AXDOMIdentifier" (the
// id attribute of web content), "AXParent", "AXTitle" (the name) and "AXMenuBar" (the menu bar in
// the application's frames, its children presented as on macOS: menu-bar items, each holding one
// menu, which holds the items). "AXEnhancedUserInterface" has no value; every other attribute is
// unsupported.
platform::AXError readAttribute(const AccessibleNode& node, const std::string& attribute,
                                platform::AXValue& outValue);

// Performs the named action: "AXPress" is the object's default action (action 0, whatever its
// name); every other action is unsupported.
platform::AXError performNamedAction(const AccessibleNode& node, const std::string& action);

}  // namespace velmuro::linux_desktop
