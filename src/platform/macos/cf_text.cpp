#include "platform/macos/cf_text.h"

#include <cstdint>
#include <vector>

#include "platform/macos/utf16_text.h"

namespace velmuro::macos {

std::string textOfCFString(CFStringRef string) {
  if (string == nullptr) return {};
  const CFIndex length = CFStringGetLength(string);
  const CFRange whole = CFRangeMake(0, length);
  // Without a loss byte the conversion stops at the first character UTF-8 cannot hold (a lone
  // surrogate), so fewer characters than the string's length mean there is no UTF-8 form. The
  // text's length is the byte count Core Foundation reports, never a search for a zero byte: U+0000
  // is a character like any other.
  CFIndex byteCount = 0;
  if (CFStringGetBytes(string, whole, kCFStringEncodingUTF8, 0, false, nullptr, 0, &byteCount) ==
      length) {
    std::string utf8(static_cast<std::size_t>(byteCount), '\0');
    CFIndex written = 0;
    CFStringGetBytes(string, whole, kCFStringEncodingUTF8, 0, false,
                     reinterpret_cast<UInt8*>(utf8.data()), byteCount, &written);
    utf8.resize(static_cast<std::size_t>(written));
    return utf8;
  }
  // No UTF-8 form: convert the UTF-16 units ourselves, replacing unpaired surrogates.
  std::vector<UniChar> units(static_cast<std::size_t>(length));
  CFStringGetCharacters(string, whole, units.data());
  static_assert(sizeof(UniChar) == sizeof(std::uint16_t));
  return utf16ToUTF8Lossy(reinterpret_cast<const std::uint16_t*>(units.data()), units.size());
}

CFStringRef createCFString(const std::string& text) {
  return CFStringCreateWithBytes(kCFAllocatorDefault, reinterpret_cast<const UInt8*>(text.data()),
                                 static_cast<CFIndex>(text.size()), kCFStringEncodingUTF8, false);
}

}  // namespace velmuro::macos
