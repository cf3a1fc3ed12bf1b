// The client side of the control socket: one command, one answer.
#pragma once

#include <chrono>
#include <string>

namespace pellora::gatewaysim {

// Sends line and returns the answer without its newline. On failure returns false and puts
// the reason in answer.
bool sendCommand(const std::string& socketPath, const std::string& line, std::string& answer,
                 std::chrono::milliseconds timeout = std::chrono::seconds(30));

}  // namespace pellora::gatewaysim
