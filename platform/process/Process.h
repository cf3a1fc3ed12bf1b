// Processes: the process list with BSD-style information, signals, and child processes whose
// wait can be cut short by a wake-up (so that threads waiting on a child stop promptly).
#pragma once

#include <sys/types.h>

#include <atomic>
#include <optional>
#include <string>
#include <vector>

namespace platform::process {

struct ProcessInfo {
  pid_t pid = 0;
  std::string name;  // the kernel's command name (at most 15 characters)
  uid_t realUid = 0;
};

std::vector<pid_t> listPids();
std::optional<ProcessInfo> processInfo(pid_t pid);
std::vector<ProcessInfo> listProcesses();
bool sendSignal(pid_t pid, int signal);

// Wakes waits on it from another thread; stays woken.
class Waker {
 public:
  Waker();
  ~Waker();
  Waker(const Waker&) = delete;
  Waker& operator=(const Waker&) = delete;
  void wake();
  bool woken() const { return woken_; }
  int fd() const { return fd_; }
  // Waits up to the timeout; true when woken (at once if it was woken before).
  bool waitFor(int milliseconds) const;

 private:
  int fd_ = -1;
  std::atomic<bool> woken_{false};
};

struct RunResult {
  bool started = false;
  bool interrupted = false;  // the waker fired first; the child was terminated
  int exitStatus = -1;       // as from waitpid's WEXITSTATUS, -1 when it died by a signal
  std::string output;        // standard output, when captured
};

struct RunOptions {
  bool captureOutput = false;
  size_t maxOutput = 1 << 20;
  const Waker* waker = nullptr;
};

// Runs argv[0] (searched on PATH) with the arguments and waits for it.
RunResult run(const std::vector<std::string>& argv, const RunOptions& options = {});
// Runs a command line through /bin/sh -c.
RunResult runShell(const std::string& command, const RunOptions& options = {});

// Quotes text for /bin/sh so that it stays one word whatever it holds.
std::string shellQuote(const std::string& text);

}  // namespace platform::process
