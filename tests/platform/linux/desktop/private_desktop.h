#pragma once

#include <optional>
#include <string>

#include "platform/linux/test_process.h"

namespace velmuro::testing {

// A private headless desktop (X server, session bus and, unless left out, the accessibility bus)
// started by scripts/desktop, stopped when it goes.
class PrivateDesktop {
 public:
  enum class Accessibility { kOn, kAbsent };

  // Starts the desktop; absent, with the script's complaint in *error, when it does not come up.
  static std::optional<PrivateDesktop> start(Accessibility accessibility, std::string* error);
  PrivateDesktop(PrivateDesktop&& other) noexcept;
  PrivateDesktop& operator=(PrivateDesktop&& other) noexcept;
  ~PrivateDesktop();

  // The variables a client of this desktop runs with (DISPLAY, DBUS_SESSION_BUS_ADDRESS, ...).
  const Environment& environment() const { return environment_; }
  // Stops the desktop now.
  void stop();

 private:
  explicit PrivateDesktop(Environment environment) : environment_(std::move(environment)) {}
  Environment environment_;
};

}  // namespace velmuro::testing
