#include "platform/sim/sim_platform.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "text/utf8.h"

namespace velmuro::sim {

namespace {

// The whole world file, or absent with the reason. Paths come from outside and may hold any
// bytes, so they are repaired before they go into a message.
std::optional<std::string> readWorldFile(const std::string& path, std::string* error) {
  auto failed = [&](const std::string& why) {
    if (error) *error = "cannot read " + text::toValidUTF8(path) + ": " + why;
    return std::nullopt;
  };
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return failed(std::strerror(errno));
  std::string text;
  char buffer[64 * 1024];
  while (true) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      int readError = errno;
      ::close(fd);
      return failed(std::strerror(readError));
    }
    if (n == 0) break;
    if (text.size() + static_cast<std::size_t>(n) > kMaxWorldFileBytes) {
      ::close(fd);
      return failed("a world file holds at most " + std::to_string(kMaxWorldFileBytes) +
                    " bytes (" + std::to_string(kMaxWorldFileBytes >> 20) + " MiB)");
    }
    text.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return text;
}

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
  std::optional<std::string> text = readWorldFile(worldPath, error);
  if (!text) return nullptr;
  std::unique_ptr<World> world = loadWorld(*text, error);
  if (!world) return nullptr;
  if (!tracePath.empty()) {
    int fd = ::open(tracePath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
      if (error)
        *error = "cannot write " + text::toValidUTF8(tracePath) + ": " + std::strerror(errno);
      return nullptr;
    }
    world->log.traceTo(fd);
    tracedWorld = world.get();
    std::atexit(writeFinalState);
  }
  return std::make_unique<OwningSimPlatform>(std::move(world));
}

}  // namespace velmuro::sim
