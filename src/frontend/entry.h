#pragma once

#include <memory>
#include <string>

#include "platform/platform.h"

namespace velmuro::frontend {

// Opens the services a run uses; absent, with the reason in *error, when there are none.
using BackendOpener = std::unique_ptr<platform::PlatformBackend> (*)(std::string* error);

// The whole run of the tool on the backend that openBackend gives: signal handlers, the
// arguments, the command and its exit status. Never returns.
[[noreturn]] void runTool(int argc, char** argv, BackendOpener openBackend);

}  // namespace velmuro::frontend
