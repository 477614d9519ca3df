#include "platform/sim/sim_platform.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace velmuro::sim {

namespace {

// The world a traced run writes out when the process exits normally.
World* tracedWorld = nullptr;

void writeFinalState() {
  if (tracedWorld)
    tracedWorld->log.writeTraceLine(json::Object{{"final", worldState(*tracedWorld)}});
}

// Keeps the world alive for as long as its services are.
class OwningSimPlatform : public platform::PlatformBackend {
 public:
  explicit OwningSimPlatform(std::unique_ptr<World> world)
      : world_(std::move(world)), services_(*world_) {}
  ~OwningSimPlatform() override {
    if (tracedWorld == world_.get()) tracedWorld = nullptr;
  }
  platform::Platform platform() override { return services_.platform(); }

 private:
  std::unique_ptr<World> world_;
  SimPlatform services_;
};

}  // namespace

std::unique_ptr<platform::PlatformBackend> openSimulatedDesktop(const std::string& worldPath,
                                                                const std::string& tracePath,
                                                                std::string* error) {
  std::ifstream file(worldPath, std::ios::binary);
  if (!file) {
    if (error) *error = "cannot read " + worldPath;
    return nullptr;
  }
  std::ostringstream text;
  text << file.rdbuf();
  std::unique_ptr<World> world = loadWorld(text.str(), error);
  if (!world) return nullptr;
  if (!tracePath.empty()) {
    int fd = ::open(tracePath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
      if (error) *error = "cannot write " + tracePath;
      return nullptr;
    }
    world->log.traceTo(fd);
    tracedWorld = world.get();
    std::atexit(writeFinalState);
  }
  return std::make_unique<OwningSimPlatform>(std::move(world));
}

}  // namespace velmuro::sim
