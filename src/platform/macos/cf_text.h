#pragma once

// Text between CoreFoundation strings and the UTF-8 std::string the seam speaks.
#include <CoreFoundation/CoreFoundation.h>

#include <string>

namespace velmuro::macos {

// The UTF-8 text of a CFString, every character of it (U+0000 included); empty for NULL. Never
// fails: a string that has no UTF-8 form comes back with U+FFFD for each unpaired surrogate.
std::string textOfCFString(CFStringRef string);

// A new CFString (Create rule: the caller releases it) holding UTF-8 text; NULL when the bytes
// are not UTF-8.
CFStringRef createCFString(const std::string& text);

}  // namespace velmuro::macos
