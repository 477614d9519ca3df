#include "platform/macos/cf_text.h"

#include <cstdint>
#include <cstring>
#include <vector>

#include "platform/macos/utf16_text.h"

namespace velmuro::macos {

std::string textOfCFString(CFStringRef string) {
  if (string == nullptr) return {};
  if (const char* direct = CFStringGetCStringPtr(string, kCFStringEncodingUTF8)) return direct;

  const CFIndex length = CFStringGetLength(string);
  const CFIndex capacity = CFStringGetMaximumSizeForEncoding(length, kCFStringEncodingUTF8);
  if (capacity != kCFNotFound) {
    std::vector<char> buffer(static_cast<std::size_t>(capacity) + 1, '\0');
    if (CFStringGetCString(string, buffer.data(), capacity + 1, kCFStringEncodingUTF8)) {
      return std::string(buffer.data(), std::strlen(buffer.data()));
    }
  }
  // No UTF-8 form: convert the UTF-16 units ourselves, replacing unpaired surrogates.
  std::vector<UniChar> units(static_cast<std::size_t>(length));
  CFStringGetCharacters(string, CFRangeMake(0, length), units.data());
  static_assert(sizeof(UniChar) == sizeof(std::uint16_t));
  return utf16ToUTF8Lossy(reinterpret_cast<const std::uint16_t*>(units.data()), units.size());
}

CFStringRef createCFString(const std::string& text) {
  return CFStringCreateWithBytes(kCFAllocatorDefault, reinterpret_cast<const UInt8*>(text.data()),
                                 static_cast<CFIndex>(text.size()), kCFStringEncodingUTF8, false);
}

}  // namespace velmuro::macos
