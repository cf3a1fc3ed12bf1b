// What a running process holds, as /proc shows it: open descriptors, threads and resident
// memory. For tests that check a long-running program gives back what its work took.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <optional>

namespace pellora::testing {

struct ProcessLevels {
  size_t descriptors = 0;
  size_t threads = 0;
  size_t residentKiB = 0;
};

// Nothing when the process has gone (or ended and is not yet reaped).
std::optional<ProcessLevels> probeProcess(pid_t pid);

// The levels once descriptors and threads have stayed the same for quiet, probed every tenth
// of a second; nothing when they do not within timeout or the process goes. Transient work
// (a client being served, a helper program running) is then over.
std::optional<ProcessLevels> steadyLevels(pid_t pid, std::chrono::milliseconds quiet,
                                          std::chrono::milliseconds timeout);

}  // namespace pellora::testing
