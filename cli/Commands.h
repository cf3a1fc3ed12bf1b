// The pellora commands, each run to its end on the main thread; they return the exit status.
#pragma once

#include <optional>
#include <string>

#include "Arguments.h"
#include "ExitStatus.h"

namespace pellora::cli {

struct Context {
  // This program's path, where the build's application bundle is looked for.
  std::string executable;
};

ExitStatus run(const Invocation& invocation, const Context& context);

}  // namespace pellora::cli
