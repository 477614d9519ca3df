#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "text/utf8.h"

namespace velmuro::macos {

// UTF-8 for a run of UTF-16 code units, each unpaired surrogate replaced by U+FFFD. Strings from
// other applications may hold lone surrogates, which have no UTF-8 form of their own.
inline std::string utf16ToUTF8Lossy(const std::uint16_t* units, std::size_t count) {
  std::string utf8;
  utf8.reserve(count * 3);
  for (std::size_t i = 0; i < count; ++i) {
    char32_t code = units[i];
    const bool isHigh = code >= 0xD800 && code <= 0xDBFF;
    const bool isLow = code >= 0xDC00 && code <= 0xDFFF;
    if (isHigh && i + 1 < count && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
      code = 0x10000 + ((code - 0xD800) << 10) + (units[i + 1] - 0xDC00u);
      ++i;
    } else if (isHigh || isLow) {
      code = 0xFFFD;
    }
    text::appendUTF8(utf8, code);
  }
  return utf8;
}

}  // namespace velmuro::macos
