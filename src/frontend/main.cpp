// The tool a host ships: the real services of the system it runs on, and no configuration.
#include "frontend/entry.h"
#ifdef __APPLE__
#include "platform/macos/macos_platform.h"
#endif

namespace {

std::unique_ptr<velmuro::platform::PlatformBackend> openRealPlatform(std::string* error) {
#ifdef __APPLE__
  (void)error;
  return velmuro::macos::openMacPlatform();
#else
  *error = "No platform services on this system";
  return nullptr;
#endif
}

}  // namespace

int main(int argc, char** argv) { velmuro::frontend::runTool(argc, argv, openRealPlatform); }
