#include "accessibility/lower_case.h"

#include <cstddef>
#include <cstdint>

#include "accessibility/lower_case_tables.h"
#include "text/utf8.h"

namespace velmuro::accessibility {

namespace {

namespace tables = lower_case_tables;

constexpr char32_t kCapitalSigma = U'\u03A3';
constexpr char32_t kFinalSigma = U'\u03C2';

// The last entry of the table, sorted by `first`, that starts at or before c; null if none does.
template <typename Entry, std::size_t N>
const Entry* lastStartingAtOrBefore(const Entry (&table)[N], char32_t c) {
  std::size_t low = 0, high = N;
  while (low < high) {
    std::size_t mid = low + (high - low) / 2;
    if (table[mid].first <= c) {
      low = mid + 1;
    } else {
      high = mid;
    }
  }
  return low == 0 ? nullptr : &table[low - 1];
}

template <std::size_t N>
bool inRanges(const tables::Range (&ranges)[N], char32_t c) {
  const tables::Range* range = lastStartingAtOrBefore(ranges, c);
  return range != nullptr && c <= range->last;
}

bool isCased(char32_t c) { return inRanges(tables::kCased, c); }

bool isCaseIgnorable(char32_t c) { return inRanges(tables::kCaseIgnorable, c); }

// The single code point c lower-cases to (c itself when it has no such mapping).
char32_t simpleLowerOf(char32_t c) {
  const tables::Run* run = lastStartingAtOrBefore(tables::kLowerRuns, c);
  if (run == nullptr) return c;
  char32_t offset = c - run->first;
  if (offset % run->stride != 0 || offset / run->stride >= run->count) return c;
  return static_cast<char32_t>(static_cast<std::int32_t>(c) + run->delta);
}

// Appends the unconditional lower case of c.
void appendLowerOf(std::string& out, char32_t c) {
  for (const tables::Expansion& expansion : tables::kLowerExpansions) {
    if (expansion.codePoint == c) {
      out += expansion.lower;
      return;
    }
  }
  text::appendUTF8(out, simpleLowerOf(c));
}

// Decodes the well-formed sequence at pos into c and gives its length; 0 when the bytes there
// are ill-formed (overlong forms, surrogates and values past U+10FFFF included).
std::size_t decode(std::string_view s, std::size_t pos, char32_t& c) {
  auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(s[i]); };
  std::uint8_t lead = byte(pos);
  if (lead < 0x80) {
    c = lead;
    return 1;
  }
  // The length the lead byte announces, the smallest value of that length, the lead's bits.
  std::size_t length = 0;
  char32_t min = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    min = 0x80;
    c = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    min = 0x800;
    c = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    min = 0x10000;
    c = lead & 0x07;
  } else {
    return 0;
  }
  if (s.size() - pos < length) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(pos + i) & 0xC0) != 0x80) return 0;
    c = (c << 6) | (byte(pos + i) & 0x3F);
  }
  if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return 0;
  return length;
}

// Whether a cased letter follows pos, past any case-ignorable characters.
bool casedLetterFollows(std::string_view text, std::size_t pos) {
  while (pos < text.size()) {
    char32_t c = 0;
    std::size_t length = decode(text, pos, c);
    if (length == 0) return false;
    if (isCased(c)) return true;
    if (!isCaseIgnorable(c)) return false;
    pos += length;
  }
  return false;
}

}  // namespace

std::string lowerCased(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  // Only a capital sigma looks at its neighbours, so text without one skips the bookkeeping.
  // Its bytes CE A3 never occur inside another character.
  const bool hasSigma = text.find("\xCE\xA3") != std::string_view::npos;
  // Whether the text so far ends in a cased letter, past any case-ignorable characters.
  bool afterCasedLetter = false;
  std::size_t pos = 0;
  while (pos < text.size()) {
    char32_t c = 0;
    std::size_t length = decode(text, pos, c);
    if (length == 0) {
      out.push_back(text[pos]);
      afterCasedLetter = false;
      ++pos;
      continue;
    }
    pos += length;
    if (c == kCapitalSigma && afterCasedLetter && !casedLetterFollows(text, pos)) {
      text::appendUTF8(out, kFinalSigma);
    } else if (c < 0x80) {  // in ASCII only A to Z have a lower case
      out.push_back(static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c));
    } else {
      appendLowerOf(out, c);
    }
    if (hasSigma) {
      if (isCased(c)) {
        afterCasedLetter = true;
      } else if (!isCaseIgnorable(c)) {
        afterCasedLetter = false;
      }
    }
  }
  return out;
}

}  // namespace velmuro::accessibility
