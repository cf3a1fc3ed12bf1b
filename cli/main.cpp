// pellora: Zavro Pellora from a terminal or a script. See `pellora --help` (Arguments.cpp) and
// the exit statuses in ExitStatus.h.
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "Arguments.h"
#include "Commands.h"
#include "log/Log.h"
#include "process/StandardOptions.h"

int main(int argc, char** argv) {
  using namespace pellora::cli;
  const std::string version = platform::process::toolVersionLine("pellora", PELLORA_VERSION);
  if (const auto status = platform::process::answerStandardOptions(argc, argv, usageText(), version)) return *status;

  const Parsed parsed = parseArguments(std::vector<std::string>(argv + 1, argv + argc));
  if (!parsed.invocation) {
    std::fprintf(stderr, "pellora: %s\nSee pellora --help.\n", parsed.error.c_str());
    return kExitUsage;
  }
  // The log goes to the journal; on a terminal without one it would cut through the output.
  platform::log::keepOffStderr();
  Context context;
  std::error_code ec;
  context.executable = std::filesystem::read_symlink("/proc/self/exe", ec).string();
  const ExitStatus status = run(*parsed.invocation, context);
  // Threads of the platform (a download read ahead before a cancel is waited for already) may
  // still be parked: no static destructors.
  std::fflush(nullptr);
  ::_exit(status);
}
