// The tool a host ships: the real services of the system it runs on, and no configuration.
#include "frontend/entry.h"
#if defined(__APPLE__)
#include "platform/macos/macos_platform.h"
#elif defined(__linux__)
#include "platform/linux/linux_platform.h"
#endif

namespace {

std::unique_ptr<velmuro::platform::PlatformBackend> openRealPlatform(std::string* error) {
#if defined(__APPLE__)
  (void)error;
  return velmuro::macos::openMacPlatform();
#elif defined(__linux__)
  (void)error;
  return velmuro::linux_desktop::openLinuxPlatform();
#else
  *error = "No platform services on this system";
  return nullptr;
#endif
}

}  // namespace

int main(int argc, char** argv) { velmuro::frontend::runTool(argc, argv, openRealPlatform); }
