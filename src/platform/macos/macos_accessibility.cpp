#include "platform/macos/macos_accessibility.h"

#include <ApplicationServices/ApplicationServices.h>
#include <CoreFoundation/CoreFoundation.h>

#include <memory>
#include <vector>

#include "platform/macos/cf_text.h"

namespace velmuro::macos {

static_assert(platform::kAXErrorSuccess == ::kAXErrorSuccess);
static_assert(platform::kAXErrorFailure == ::kAXErrorFailure);
static_assert(platform::kAXErrorIllegalArgument == ::kAXErrorIllegalArgument);
static_assert(platform::kAXErrorInvalidUIElement == ::kAXErrorInvalidUIElement);
static_assert(platform::kAXErrorCannotComplete == ::kAXErrorCannotComplete);
static_assert(platform::kAXErrorAttributeUnsupported == ::kAXErrorAttributeUnsupported);
static_assert(platform::kAXErrorActionUnsupported == ::kAXErrorActionUnsupported);
static_assert(platform::kAXErrorAPIDisabled == ::kAXErrorAPIDisabled);
static_assert(platform::kAXErrorNoValue == ::kAXErrorNoValue);

namespace {

// A handle that takes over one reference the caller already owns (Create or Copy rule) and
// releases it when the last copy of the handle goes. NULL gives the absent handle.
platform::AXElement adoptElement(AXUIElementRef element) {
  if (element == nullptr) return {};
  return platform::AXElement(
      std::shared_ptr<const void>(element, [](const void* reference) { CFRelease(reference); }));
}

AXUIElementRef elementRef(const platform::AXElement& element) {
  return static_cast<AXUIElementRef>(element.get());
}

// The URL's absolute string: the URL resolved against its base, as text.
std::string absoluteStringOf(CFURLRef url) {
  CFURLRef absolute = CFURLCopyAbsoluteURL(url);
  if (absolute == nullptr) return textOfCFString(CFURLGetString(url));
  std::string text = textOfCFString(CFURLGetString(absolute));
  CFRelease(absolute);
  return text;
}

// An array all of whose members are elements, as retained handles in array order; any other
// array is another kind of value.
platform::AXValue elementsOrOther(CFArrayRef array) {
  const CFIndex count = CFArrayGetCount(array);
  std::vector<platform::AXElement> elements;
  elements.reserve(static_cast<std::size_t>(count));
  for (CFIndex i = 0; i < count; ++i) {
    const void* member = CFArrayGetValueAtIndex(array, i);
    if (member == nullptr || CFGetTypeID(member) != AXUIElementGetTypeID()) {
      return platform::AXOther{};  // the handles made so far release their references
    }
    // The array keeps its own reference to each member; the handle takes a new one.
    CFRetain(member);
    elements.push_back(adoptElement(static_cast<AXUIElementRef>(member)));
  }
  return elements;
}

// The typed value of a copied attribute value, whose reference this takes over and releases
// (an element keeps it in its handle).
platform::AXValue takeValue(CFTypeRef value) {
  if (value == nullptr) return std::monostate{};
  const CFTypeID type = CFGetTypeID(value);
  if (type == AXUIElementGetTypeID()) return adoptElement(static_cast<AXUIElementRef>(value));

  platform::AXValue result = platform::AXOther{};
  if (type == CFURLGetTypeID()) {
    result = platform::AXURL{absoluteStringOf(static_cast<CFURLRef>(value))};
  } else if (type == CFStringGetTypeID()) {
    result = platform::AXText{textOfCFString(static_cast<CFStringRef>(value))};
  } else if (type == CFNumberGetTypeID()) {
    double number = 0;
    CFNumberGetValue(static_cast<CFNumberRef>(value), kCFNumberDoubleType, &number);
    result = platform::AXNumber{number};
  } else if (type == CFBooleanGetTypeID()) {
    result = CFBooleanGetValue(static_cast<CFBooleanRef>(value)) != 0;
  } else if (type == CFArrayGetTypeID()) {
    result = elementsOrOther(static_cast<CFArrayRef>(value));
  }
  CFRelease(value);
  return result;
}

}  // namespace

bool MacAccessibility::isProcessTrusted() { return AXIsProcessTrusted() != 0; }

platform::AXElement MacAccessibility::createApplication(pid_t pid) {
  return adoptElement(AXUIElementCreateApplication(pid));
}

platform::AXElement MacAccessibility::createSystemWide() {
  return adoptElement(AXUIElementCreateSystemWide());
}

platform::AXError MacAccessibility::setMessagingTimeout(const platform::AXElement& element,
                                                        float seconds) {
  // An absent handle is an illegal argument; it is not handed to the API as NULL.
  if (!element) return platform::kAXErrorIllegalArgument;
  return AXUIElementSetMessagingTimeout(elementRef(element), seconds);
}

platform::AXError MacAccessibility::copyAttributeValue(const platform::AXElement& element,
                                                       const std::string& attribute,
                                                       platform::AXValue& outValue) {
  if (!element) return platform::kAXErrorIllegalArgument;
  CFStringRef name = createCFString(attribute);
  if (name == nullptr) return platform::kAXErrorIllegalArgument;
  CFTypeRef value = nullptr;
  const ::AXError error = AXUIElementCopyAttributeValue(elementRef(element), name, &value);
  CFRelease(name);
  if (error != ::kAXErrorSuccess) {
    // A value delivered together with an error is still ours to release.
    if (value != nullptr) CFRelease(value);
    return error;
  }
  outValue = takeValue(value);
  return error;
}

platform::AXError MacAccessibility::setAttributeValue(const platform::AXElement& element,
                                                      const std::string& attribute, bool value) {
  if (!element) return platform::kAXErrorIllegalArgument;
  CFStringRef name = createCFString(attribute);
  if (name == nullptr) return platform::kAXErrorIllegalArgument;
  const ::AXError error = AXUIElementSetAttributeValue(elementRef(element), name,
                                                       value ? kCFBooleanTrue : kCFBooleanFalse);
  CFRelease(name);
  return error;
}

platform::AXError MacAccessibility::performAction(const platform::AXElement& element,
                                                  const std::string& action) {
  if (!element) return platform::kAXErrorIllegalArgument;
  CFStringRef name = createCFString(action);
  if (name == nullptr) return platform::kAXErrorIllegalArgument;
  const ::AXError error = AXUIElementPerformAction(elementRef(element), name);
  CFRelease(name);
  return error;
}

}  // namespace velmuro::macos
