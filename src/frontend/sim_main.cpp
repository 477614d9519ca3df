// The same tool on the simulated desktop, for tests and demos: VELMURO_SIM_WORLD names the world
// file, VELMURO_SIM_TRACE the file that receives every platform call and the final state.
#include <cstdlib>

#include "frontend/entry.h"
#include "platform/sim/sim_platform.h"

namespace {

std::unique_ptr<velmuro::platform::PlatformBackend> openSimulation(std::string* error) {
  const char* world = std::getenv("VELMURO_SIM_WORLD");
  if (world == nullptr || *world == '\0') {
    *error = "Could not open the simulated desktop: VELMURO_SIM_WORLD names no world file";
    return nullptr;
  }
  const char* trace = std::getenv("VELMURO_SIM_TRACE");
  std::string reason;
  auto backend = velmuro::sim::openSimulatedDesktop(world, trace ? trace : "", &reason);
  if (!backend) *error = "Could not open the simulated desktop: " + reason;
  return backend;
}

}  // namespace

int main(int argc, char** argv) { velmuro::frontend::runTool(argc, argv, openSimulation); }
