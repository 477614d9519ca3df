#pragma once

#include <string>
#include <string_view>

namespace velmuro::accessibility {

// The UTF-8 text under Unicode's default lower-case mapping (Unicode 15.0.0): every character
// replaced by its unconditional full lower case ("İ" becomes "i" with a combining dot above,
// the Kelvin sign "k"), and a capital sigma that ends a word ("ΟΔΟΣ") becoming the final form
// "ς". Ill-formed bytes are kept as they are and end a word. The same on every platform: no
// locale and no language-specific rule.
std::string lowerCased(std::string_view text);

}  // namespace velmuro::accessibility
