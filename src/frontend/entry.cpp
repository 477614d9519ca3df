#include "frontend/entry.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include "frontend/dispatcher.h"
#include "output/json_message.h"
#include "text/utf8.h"

namespace velmuro::frontend {

namespace {

// A descriptor 0, 1 or 2 that the host left closed would be taken by the next file the tool
// opens (a trace file would then receive the JSON lines): each one closed gets the null device.
void openClosedStandardDescriptors() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    int opened = ::open("/dev/null", O_RDWR);
    if (opened >= 0 && opened != fd) {
      ::dup2(opened, fd);
      ::close(opened);
    }
  }
}

}  // namespace

void runTool(int argc, char** argv, BackendOpener openBackend) {
  setupSignalHandler();
  openClosedStandardDescriptors();
  // Arguments enter as bytes; the host must always get its line, so they become valid UTF-8 here.
  std::vector<std::string> arguments;
  arguments.reserve(static_cast<std::size_t>(argc));
  for (int i = 0; i < argc; ++i) arguments.push_back(text::toValidUTF8(argv[i]));
  if (arguments.size() < 2) std::exit(reportUsage());

  std::string error;
  std::unique_ptr<platform::PlatformBackend> backend = openBackend(&error);
  if (!backend) {
    output::printJSON(output::errorMessage(error));
    std::exit(1);
  }
  std::exit(dispatch(arguments, backend->platform(), STDIN_FILENO));
}

}  // namespace velmuro::frontend
