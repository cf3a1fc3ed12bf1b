// What a running process holds, as /proc shows it: open descriptors, threads, resident memory
// and the processor time it has used. For tests that check a long-running program gives back
// what its work took.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>

namespace pellora::testing {

struct ProcessLevels {
  size_t descriptors = 0;
  size_t threads = 0;
  size_t residentKiB = 0;
  double cpuSeconds = 0;  // user and system time
};

// Nothing when the process has gone (or ended and is not yet reaped).
std::optional<ProcessLevels> probeProcess(pid_t pid);

// The levels once descriptors and threads have stayed the same for quiet, probed every tenth
// of a second; nothing when they do not within timeout or the process goes. Transient work
// (a client being served, a helper program running) is then over. On failure, why (when given)
// tells that the process has gone, or the changes seen ("+SECONDS: DESCRIPTORS descriptors,
// THREADS threads") and what its descriptors name now.
std::optional<ProcessLevels> steadyLevels(pid_t pid, std::chrono::milliseconds quiet,
                                          std::chrono::milliseconds timeout,
                                          std::string* why = nullptr);

}  // namespace pellora::testing
