#include "platform/linux/desktop/private_desktop.h"

#include <utility>

namespace velmuro::testing {

std::optional<PrivateDesktop> PrivateDesktop::start(Accessibility accessibility,
                                                    std::string* error) {
  std::vector<std::string> arguments;
  if (accessibility == Accessibility::kAbsent) arguments.push_back("--no-accessibility");
  std::optional<Environment> environment =
      startScriptedService("desktop", arguments, "DESKTOP_DIR", error);
  if (!environment) return std::nullopt;
  (*environment)["LC_ALL"] = "C";
  return PrivateDesktop(std::move(*environment));
}

PrivateDesktop::PrivateDesktop(PrivateDesktop&& other) noexcept
    : environment_(std::move(other.environment_)) {
  other.environment_.clear();
}

PrivateDesktop& PrivateDesktop::operator=(PrivateDesktop&& other) noexcept {
  if (this != &other) {
    stop();
    environment_ = std::move(other.environment_);
    other.environment_.clear();
  }
  return *this;
}

PrivateDesktop::~PrivateDesktop() { stop(); }

void PrivateDesktop::stop() {
  auto dir = environment_.find("DESKTOP_DIR");
  if (dir == environment_.end()) return;
  stopScriptedService("desktop", dir->second);
  environment_.clear();
}

}  // namespace velmuro::testing
