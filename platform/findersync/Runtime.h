// The extension process's entry point.
#pragma once

#include <functional>
#include <memory>

#include "findersync/FIFinderSync.h"

namespace platform::findersync {

// The environment variable that carries the number of the socket Finder handed to the process.
inline constexpr const char* kSocketVariable = "PELLORA_FINDERSYNC_FD";

// Runs the extension process: connects to Finder over the socket Finder handed to this process
// (environment variable PELLORA_FINDERSYNC_FD), creates principal objects with makePrincipal
// when Finder asks, serves Finder's calls, and runs the main queue (RunLoop::main()) until
// Finder closes the connection or the process gets SIGTERM (or SIGINT). Returns the exit status:
// 0 after a normal end, 2 when the process was not started by Finder.
int runExtension(std::function<std::shared_ptr<FIFinderSync>()> makePrincipal);

}  // namespace platform::findersync
