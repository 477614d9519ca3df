#pragma once

#include <sys/types.h>

#include <optional>
#include <string_view>

namespace velmuro::discovery {

// The PID a text spells: an optional single sign and one or more ASCII digits, nothing else,
// within the signed 32-bit range (leading zeros allowed); absent for anything else.
std::optional<pid_t> parseDecimalPID(std::string_view text);

}  // namespace velmuro::discovery
