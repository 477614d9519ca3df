#include "text/utf8.h"

#include <cstddef>
#include <cstdint>

namespace velmuro::text {

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// The length of the well-formed sequence that starts at pos, or 0 when the bytes there are
// ill-formed; *invalidLength is then the length of the maximal invalid subpart (at least 1).
std::size_t sequenceLength(std::string_view s, std::size_t pos, std::size_t* invalidLength) {
  auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(s[i]); };
  std::uint8_t lead = byte(pos);
  *invalidLength = 1;
  if (lead < 0x80) return 1;
  std::size_t need;
  std::uint8_t low = 0x80, high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    need = 1;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    need = 2;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    need = 3;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  for (std::size_t i = 1; i <= need; ++i) {
    if (pos + i >= s.size()) return 0;
    std::uint8_t b = byte(pos + i);
    bool ok = (i == 1) ? (b >= low && b <= high) : (b >= 0x80 && b <= 0xBF);
    if (!ok) return 0;
    *invalidLength = i + 1;
  }
  return need + 1;
}

}  // namespace

void appendUTF8(std::string& out, char32_t codePoint) {
  auto byte = [](char32_t bits) { return static_cast<char>(bits); };
  if (codePoint < 0x80) {
    out += byte(codePoint);
  } else if (codePoint < 0x800) {
    out += byte(0xC0 | (codePoint >> 6));
    out += byte(0x80 | (codePoint & 0x3F));
  } else if (codePoint < 0x10000) {
    out += byte(0xE0 | (codePoint >> 12));
    out += byte(0x80 | ((codePoint >> 6) & 0x3F));
    out += byte(0x80 | (codePoint & 0x3F));
  } else {
    out += byte(0xF0 | (codePoint >> 18));
    out += byte(0x80 | ((codePoint >> 12) & 0x3F));
    out += byte(0x80 | ((codePoint >> 6) & 0x3F));
    out += byte(0x80 | (codePoint & 0x3F));
  }
}

bool isValidUTF8(std::string_view bytes) {
  std::size_t invalid = 0;
  for (std::size_t pos = 0; pos < bytes.size();) {
    std::size_t n = sequenceLength(bytes, pos, &invalid);
    if (n == 0) return false;
    pos += n;
  }
  return true;
}

std::string toValidUTF8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  std::size_t invalid = 0;
  for (std::size_t pos = 0; pos < bytes.size();) {
    std::size_t n = sequenceLength(bytes, pos, &invalid);
    if (n == 0) {
      out += kReplacement;
      pos += invalid;
    } else {
      out.append(bytes.substr(pos, n));
      pos += n;
    }
  }
  return out;
}

}  // namespace velmuro::text
