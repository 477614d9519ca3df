#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <variant>
#include <vector>

namespace velmuro::platform {

// The Accessibility API's AXError codes.
using AXError = std::int32_t;
inline constexpr AXError kAXErrorSuccess = 0;
inline constexpr AXError kAXErrorFailure = -25200;
inline constexpr AXError kAXErrorIllegalArgument = -25201;
inline constexpr AXError kAXErrorInvalidUIElement = -25202;
inline constexpr AXError kAXErrorCannotComplete = -25204;
inline constexpr AXError kAXErrorAttributeUnsupported = -25205;
inline constexpr AXError kAXErrorActionUnsupported = -25206;
inline constexpr AXError kAXErrorAPIDisabled = -25211;
inline constexpr AXError kAXErrorNoValue = -25212;

// A handle to one node of another process's accessibility tree. Copies share one reference,
// which the backend gives up when the last copy goes. A default-constructed handle is absent.
class AXElement {
 public:
  AXElement() = default;
  explicit AXElement(std::shared_ptr<const void> reference) : reference_(std::move(reference)) {}

  explicit operator bool() const { return reference_ != nullptr; }
  // The backend's own object behind the handle.
  const void* get() const { return reference_.get(); }

 private:
  std::shared_ptr<const void> reference_;
};

// A text value.
struct AXText {
  std::string text;
  bool operator==(const AXText&) const = default;
};
// A URL value, as its absolute string.
struct AXURL {
  std::string absoluteString;
  bool operator==(const AXURL&) const = default;
};
// A numeric value.
struct AXNumber {
  double value = 0;
  bool operator==(const AXNumber&) const = default;
};
// A value of any other type (an attributed string, a mixed array, a size, ...).
struct AXOther {
  bool operator==(const AXOther&) const = default;
};

// An attribute value as the API delivers it: none, text, URL, number, Boolean, element,
// element list or other.
using AXValue = std::variant<std::monostate, AXText, AXURL, AXNumber, bool, AXElement,
                             std::vector<AXElement>, AXOther>;

// The Accessibility API, one method per call the tool makes.
class AccessibilityApi {
 public:
  virtual ~AccessibilityApi() = default;

  // AXIsProcessTrusted.
  virtual bool isProcessTrusted() = 0;
  // AXUIElementCreateApplication.
  virtual AXElement createApplication(pid_t pid) = 0;
  // AXUIElementCreateSystemWide.
  virtual AXElement createSystemWide() = 0;
  // AXUIElementSetMessagingTimeout.
  virtual AXError setMessagingTimeout(const AXElement& element, float seconds) = 0;
  // AXUIElementCopyAttributeValue; on success outValue holds the value (possibly none).
  virtual AXError copyAttributeValue(const AXElement& element, const std::string& attribute,
                                     AXValue& outValue) = 0;
  // AXUIElementSetAttributeValue with kCFBooleanTrue or kCFBooleanFalse.
  virtual AXError setAttributeValue(const AXElement& element, const std::string& attribute,
                                    bool value) = 0;
  // AXUIElementPerformAction.
  virtual AXError performAction(const AXElement& element, const std::string& action) = 0;
};

}  // namespace velmuro::platform
