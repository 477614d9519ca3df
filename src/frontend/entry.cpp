#include "frontend/entry.h"

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "frontend/dispatcher.h"
#include "output/json_message.h"
#include "text/utf8.h"

namespace velmuro::frontend {

void runTool(int argc, char** argv, BackendOpener openBackend) {
  setupSignalHandler();
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
  std::exit(dispatch(arguments, backend->platform(), stdin));
}

}  // namespace velmuro::frontend
