#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/accessibility_api.h"
#include "platform/linux/accessibility/bus_connection.h"

namespace velmuro::linux_desktop {

// The Accessibility API over AT-SPI2, the desktop's accessibility bus, spoken to through libdbus
// (loaded at run time). The process is trusted when the bus can be found and answers; an
// application element is the application a process serves on the bus, woken when it builds its
// tree only once asked; attributes, roles and the press map onto AT-SPI requests as
// attribute_reads.h says.
class LinuxAccessibility final : public platform::AccessibilityApi {
 public:
  // The requests and round trips of one application's elements so far.
  struct Traffic {
    std::uint64_t requests = 0;
    std::uint64_t roundTrips = 0;
  };

  // True when the accessibility bus is there and answers; found and connected on the first call.
  bool isProcessTrusted() override;
  // The application that the process serves on the bus, its tree brought up; an element whose
  // every request fails when the process serves nothing there (it runs without accessibility).
  platform::AXElement createApplication(pid_t pid) override;
  // The system-wide element, good for setting the timeout.
  platform::AXElement createSystemWide() override;
  // On the system-wide element: the timeout of every later request; on another element: of its
  // application's requests. 0 gives back the default of one second.
  platform::AXError setMessagingTimeout(const platform::AXElement& element, float seconds) override;
  // The attribute's value, as attribute_reads.h maps it.
  platform::AXError copyAttributeValue(const platform::AXElement& element,
                                       const std::string& attribute,
                                       platform::AXValue& outValue) override;
  // Nothing is settable: kAXErrorAttributeUnsupported.
  platform::AXError setAttributeValue(const platform::AXElement& element,
                                      const std::string& attribute, bool value) override;
  // "AXPress": the element's default action.
  platform::AXError performAction(const platform::AXElement& element,
                                  const std::string& action) override;

  // What the element's application has cost so far, for the benchmark.
  static Traffic trafficOf(const platform::AXElement& element);

 private:
  bool connect();

  std::shared_ptr<BusConnection> bus_;
  bool connectTried_ = false;
  std::chrono::milliseconds timeout_{1000};
};

}  // namespace velmuro::linux_desktop
