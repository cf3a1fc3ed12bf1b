// What a command answers: the exit status and what the command line prints.
#pragma once

#include <string>

namespace pellora::finder {

struct CommandResult {
  int status = 0;
  std::string out;  // for stdout
  std::string err;  // for stderr

  static CommandResult ok(std::string out = {}) { return {0, std::move(out), {}}; }
  static CommandResult fail(std::string err, int status = 1) {
    return {status, {}, std::move(err)};
  }
};

}  // namespace pellora::finder
