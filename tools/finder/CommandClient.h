// The command line's side of the control socket: one request, one answer.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "CommandResult.h"

namespace pellora::finder {

// Sends args to the daemon at socketPath and returns its answer; on failure a result with
// status 69 and the reason in err.
CommandResult sendCommand(const std::string& socketPath, const std::vector<std::string>& args,
                          std::chrono::milliseconds timeout);

}  // namespace pellora::finder
