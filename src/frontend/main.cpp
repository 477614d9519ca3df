// The entry point: signal handlers first, then the platform, then the command.
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "frontend/dispatcher.h"
#include "output/json_message.h"
#include "platform/sim/sim_platform.h"
#include "text/utf8.h"
#ifdef __APPLE__
#include "platform/macos/macos_platform.h"
#endif

namespace {

// The simulated desktop when VELMURO_SIM_WORLD names a world file, else the real platform.
std::unique_ptr<velmuro::platform::PlatformBackend> openBackend(std::string* error) {
  const char* world = std::getenv("VELMURO_SIM_WORLD");
  if (world != nullptr && *world != '\0') {
    const char* trace = std::getenv("VELMURO_SIM_TRACE");
    std::string reason;
    auto backend = velmuro::sim::openSimulatedDesktop(world, trace ? trace : "", &reason);
    if (!backend) *error = "Could not open the simulated desktop: " + reason;
    return backend;
  }
#ifdef __APPLE__
  return velmuro::macos::openMacPlatform();
#else
  *error = "No platform services on this system; set VELMURO_SIM_WORLD to a world file";
  return nullptr;
#endif
}

}  // namespace

int main(int argc, char** argv) {
  velmuro::frontend::setupSignalHandler();
  // Arguments enter as bytes; the host must always get its line, so they become valid UTF-8 here.
  std::vector<std::string> arguments;
  arguments.reserve(static_cast<std::size_t>(argc));
  for (int i = 0; i < argc; ++i) arguments.push_back(velmuro::text::toValidUTF8(argv[i]));
  if (arguments.size() < 2) std::exit(velmuro::frontend::reportUsage());

  std::string error;
  std::unique_ptr<velmuro::platform::PlatformBackend> backend = openBackend(&error);
  if (!backend) {
    velmuro::output::printJSON(velmuro::output::errorMessage(error));
    std::exit(1);
  }
  std::exit(velmuro::frontend::dispatch(arguments, backend->platform(), stdin));
}
