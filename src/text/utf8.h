#pragma once

#include <string>
#include <string_view>

namespace velmuro::text {

// Appends the UTF-8 form of one Unicode scalar value.
void appendUTF8(std::string& out, char32_t codePoint);

// True when the bytes are well-formed UTF-8.
bool isValidUTF8(std::string_view bytes);

// The bytes with every ill-formed sequence (each maximal invalid subpart) replaced by U+FFFD.
std::string toValidUTF8(std::string_view bytes);

}  // namespace velmuro::text
