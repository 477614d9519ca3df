#pragma once

#include <string>
#include <string_view>

namespace velmuro::accessibility {

// The UTF-8 text with each capital letter of the Latin, Greek, Cyrillic and Armenian scripts and
// of the fullwidth Latin forms replaced by its Unicode lower-case mapping ("İ" becomes "i" with a
// combining dot above). Other characters, and ill-formed bytes, are kept as they are. The same
// on every platform: no locale is consulted.
std::string lowerCased(std::string_view text);

}  // namespace velmuro::accessibility
