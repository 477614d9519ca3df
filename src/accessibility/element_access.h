#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/accessibility_api.h"
#include "platform/platform.h"

namespace velmuro::accessibility {

// Attribute, role and action names the readers use.
inline const std::string kAXChildren = "AXChildren";
inline const std::string kAXWindows = "AXWindows";
inline const std::string kAXRole = "AXRole";
inline const std::string kAXSubrole = "AXSubrole";
inline const std::string kAXDocument = "AXDocument";
inline const std::string kAXURL = "AXURL";
inline const std::string kAXValue = "AXValue";
inline const std::string kAXDOMIdentifier = "AXDOMIdentifier";
inline const std::string kAXParent = "AXParent";
inline const std::string kAXTitle = "AXTitle";
inline const std::string kAXMenuBar = "AXMenuBar";
inline const std::string kAXEnhancedUserInterface = "AXEnhancedUserInterface";
inline const std::string kAXPress = "AXPress";

// The longest time any one accessibility request of this process waits for an answer.
inline constexpr float kMessagingTimeoutSeconds = 1.0f;

// The attribute's value; none when the read fails or delivers no value.
platform::AXValue axValue(platform::AccessibilityApi& ax, const platform::AXElement& element,
                          const std::string& attribute);

// The attribute as valid UTF-8 text: a string as it is, a URL as its absolute string; absent
// for a failed read and for every other type (numbers are never turned into text).
std::optional<std::string> axString(platform::AccessibilityApi& ax,
                                    const platform::AXElement& element,
                                    const std::string& attribute);

// The element's children in the order the API gives them; empty for an absent element, a failed
// read or a value that is not a list of elements.
std::vector<platform::AXElement> axChildren(platform::AccessibilityApi& ax,
                                            const platform::AXElement& element);

// The element an attribute names ("AXParent", "AXMenuBar"); absent when there is none.
platform::AXElement axElementValue(platform::AccessibilityApi& ax,
                                   const platform::AXElement& element,
                                   const std::string& attribute);

// The elements a list-valued attribute holds ("AXWindows"); empty when it holds no list.
std::vector<platform::AXElement> axElementList(platform::AccessibilityApi& ax,
                                               const platform::AXElement& element,
                                               const std::string& attribute);

// The attribute as a Boolean; false when it can't be read or is not a Boolean.
bool axBoolean(platform::AccessibilityApi& ax, const platform::AXElement& element,
               const std::string& attribute);

// The application element of the first running application with this bundle identifier, with
// the messaging timeout set to one second; absent (and the timeout left alone) when none runs.
platform::AXElement axApplication(const platform::Platform& platform, const std::string& bundleId);

}  // namespace velmuro::accessibility
