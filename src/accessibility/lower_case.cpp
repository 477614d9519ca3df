#include "accessibility/lower_case.h"

#include <cstddef>
#include <cstdint>
#include <iterator>

#include "text/utf8.h"

namespace velmuro::accessibility {

namespace {

// A run of capitals first..last whose lower case lies `delta` code points on; with a stride of 2
// only every second code point of the run is a capital (the others are its lower-case forms).
struct LowerRun {
  char32_t first;
  char32_t last;
  std::int32_t delta;
  std::int32_t stride;
};

// Unicode 14 simple lower-case mappings of Latin (Basic to Extended-B, Extended Additional),
// Greek and Greek Extended, Cyrillic and its Supplement, Armenian and the fullwidth Latin letters.
constexpr LowerRun kLowerRuns[] = {
    {0x0041, 0x005A, 32, 1},    {0x00C0, 0x00D6, 32, 1},   {0x00D8, 0x00DE, 32, 1},
    {0x0100, 0x012E, 1, 2},     {0x0132, 0x0136, 1, 2},    {0x0139, 0x0147, 1, 2},
    {0x014A, 0x0176, 1, 2},     {0x0178, 0x0178, -121, 1}, {0x0179, 0x017D, 1, 2},
    {0x0181, 0x0181, 210, 1},   {0x0182, 0x0184, 1, 2},    {0x0186, 0x0186, 206, 1},
    {0x0187, 0x0187, 1, 1},     {0x0189, 0x018A, 205, 1},  {0x018B, 0x018B, 1, 1},
    {0x018E, 0x018E, 79, 1},    {0x018F, 0x018F, 202, 1},  {0x0190, 0x0190, 203, 1},
    {0x0191, 0x0191, 1, 1},     {0x0193, 0x0193, 205, 1},  {0x0194, 0x0194, 207, 1},
    {0x0196, 0x0196, 211, 1},   {0x0197, 0x0197, 209, 1},  {0x0198, 0x0198, 1, 1},
    {0x019C, 0x019C, 211, 1},   {0x019D, 0x019D, 213, 1},  {0x019F, 0x019F, 214, 1},
    {0x01A0, 0x01A4, 1, 2},     {0x01A6, 0x01A6, 218, 1},  {0x01A7, 0x01A7, 1, 1},
    {0x01A9, 0x01A9, 218, 1},   {0x01AC, 0x01AC, 1, 1},    {0x01AE, 0x01AE, 218, 1},
    {0x01AF, 0x01AF, 1, 1},     {0x01B1, 0x01B2, 217, 1},  {0x01B3, 0x01B5, 1, 2},
    {0x01B7, 0x01B7, 219, 1},   {0x01B8, 0x01B8, 1, 1},    {0x01BC, 0x01BC, 1, 1},
    {0x01C4, 0x01C4, 2, 1},     {0x01C5, 0x01C5, 1, 1},    {0x01C7, 0x01C7, 2, 1},
    {0x01C8, 0x01C8, 1, 1},     {0x01CA, 0x01CA, 2, 1},    {0x01CB, 0x01DB, 1, 2},
    {0x01DE, 0x01EE, 1, 2},     {0x01F1, 0x01F1, 2, 1},    {0x01F2, 0x01F4, 1, 2},
    {0x01F6, 0x01F6, -97, 1},   {0x01F7, 0x01F7, -56, 1},  {0x01F8, 0x021E, 1, 2},
    {0x0220, 0x0220, -130, 1},  {0x0222, 0x0232, 1, 2},    {0x023A, 0x023A, 10795, 1},
    {0x023B, 0x023B, 1, 1},     {0x023D, 0x023D, -163, 1}, {0x023E, 0x023E, 10792, 1},
    {0x0241, 0x0241, 1, 1},     {0x0243, 0x0243, -195, 1}, {0x0244, 0x0244, 69, 1},
    {0x0245, 0x0245, 71, 1},    {0x0246, 0x024E, 1, 2},    {0x0370, 0x0372, 1, 2},
    {0x0376, 0x0376, 1, 1},     {0x037F, 0x037F, 116, 1},  {0x0386, 0x0386, 38, 1},
    {0x0388, 0x038A, 37, 1},    {0x038C, 0x038C, 64, 1},   {0x038E, 0x038F, 63, 1},
    {0x0391, 0x03A1, 32, 1},    {0x03A3, 0x03AB, 32, 1},   {0x03CF, 0x03CF, 8, 1},
    {0x03D8, 0x03EE, 1, 2},     {0x03F4, 0x03F4, -60, 1},  {0x03F7, 0x03F7, 1, 1},
    {0x03F9, 0x03F9, -7, 1},    {0x03FA, 0x03FA, 1, 1},    {0x03FD, 0x03FF, -130, 1},
    {0x0400, 0x040F, 80, 1},    {0x0410, 0x042F, 32, 1},   {0x0460, 0x0480, 1, 2},
    {0x048A, 0x04BE, 1, 2},     {0x04C0, 0x04C0, 15, 1},   {0x04C1, 0x04CD, 1, 2},
    {0x04D0, 0x052E, 1, 2},     {0x0531, 0x0556, 48, 1},   {0x1E00, 0x1E94, 1, 2},
    {0x1E9E, 0x1E9E, -7615, 1}, {0x1EA0, 0x1EFE, 1, 2},    {0x1F08, 0x1F0F, -8, 1},
    {0x1F18, 0x1F1D, -8, 1},    {0x1F28, 0x1F2F, -8, 1},   {0x1F38, 0x1F3F, -8, 1},
    {0x1F48, 0x1F4D, -8, 1},    {0x1F59, 0x1F5F, -8, 2},   {0x1F68, 0x1F6F, -8, 1},
    {0x1F88, 0x1F8F, -8, 1},    {0x1F98, 0x1F9F, -8, 1},   {0x1FA8, 0x1FAF, -8, 1},
    {0x1FB8, 0x1FB9, -8, 1},    {0x1FBA, 0x1FBB, -74, 1},  {0x1FBC, 0x1FBC, -9, 1},
    {0x1FC8, 0x1FCB, -86, 1},   {0x1FCC, 0x1FCC, -9, 1},   {0x1FD8, 0x1FD9, -8, 1},
    {0x1FDA, 0x1FDB, -100, 1},  {0x1FE8, 0x1FE9, -8, 1},   {0x1FEA, 0x1FEB, -112, 1},
    {0x1FEC, 0x1FEC, -7, 1},    {0x1FF8, 0x1FF9, -128, 1}, {0x1FFA, 0x1FFB, -126, 1},
    {0x1FFC, 0x1FFC, -9, 1},    {0xFF21, 0xFF3A, 32, 1},
};

char32_t lowerOf(char32_t c) {
  // The table is sorted by `first`; find the last run that starts at or before c.
  std::size_t low = 0, high = std::size(kLowerRuns);
  while (low < high) {
    std::size_t mid = (low + high) / 2;
    if (kLowerRuns[mid].first <= c) {
      low = mid + 1;
    } else {
      high = mid;
    }
  }
  if (low == 0) return c;
  const LowerRun& run = kLowerRuns[low - 1];
  if (c > run.last || (c - run.first) % static_cast<char32_t>(run.stride) != 0) return c;
  return static_cast<char32_t>(static_cast<std::int32_t>(c) + run.delta);
}

// Decodes one well-formed sequence of up to three bytes at pos (every mapped letter lies below
// U+10000); 0 when the bytes there are something else.
std::size_t decode(std::string_view s, std::size_t pos, char32_t& c) {
  auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(s[i]); };
  std::uint8_t lead = byte(pos);
  if (lead < 0x80) {
    c = lead;
    return 1;
  }
  auto continuation = [&](std::size_t i) { return i < s.size() && (byte(i) & 0xC0) == 0x80; };
  if (lead >= 0xC2 && lead <= 0xDF && continuation(pos + 1)) {
    c = static_cast<char32_t>(((lead & 0x1F) << 6) | (byte(pos + 1) & 0x3F));
    return 2;
  }
  if (lead >= 0xE0 && lead <= 0xEF && continuation(pos + 1) && continuation(pos + 2)) {
    c = static_cast<char32_t>(((lead & 0x0F) << 12) | ((byte(pos + 1) & 0x3F) << 6) |
                              (byte(pos + 2) & 0x3F));
    // Overlong forms and surrogates are not characters.
    if (c < 0x800 || (c >= 0xD800 && c <= 0xDFFF)) return 0;
    return 3;
  }
  return 0;
}

}  // namespace

std::string lowerCased(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  std::size_t pos = 0;
  while (pos < text.size()) {
    char32_t c = 0;
    std::size_t length = decode(text, pos, c);
    if (length == 0) {
      out.push_back(text[pos]);
      ++pos;
      continue;
    }
    if (c == U'\u0130') {
      out += "i\xCC\x87";  // LATIN CAPITAL LETTER I WITH DOT ABOVE: i and U+0307
    } else if (length == 1) {
      out.push_back(c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : static_cast<char>(c));
    } else {
      text::appendUTF8(out, lowerOf(c));
    }
    pos += length;
  }
  return out;
}

}  // namespace velmuro::accessibility
