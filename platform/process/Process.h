// Processes: the process list with BSD-style information, signals, child processes whose
// wait can be cut short by a wake-up (so that threads waiting on a child stop promptly), and
// programs started detached from this process.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace platform::process {

struct ProcessInfo {
  pid_t pid = 0;
  std::string name;  // the kernel's command name (at most 15 characters)
  uid_t realUid = 0;
};

// Every process /proc shows, those of pid namespaces below this one's included.
std::vector<pid_t> listPids();
std::optional<ProcessInfo> processInfo(pid_t pid);
// The processes of this one's pid namespace: those of a container or sandbox started from
// here show in /proc too, but they are not programs of this session.
std::vector<ProcessInfo> listProcesses();
// True for a process whose pid namespace is not this one's. One whose namespace cannot be read
// (another user's, or one that has ended) is not told apart, as before namespaces.
bool inOtherPidNamespace(pid_t pid);
bool sendSignal(pid_t pid, int signal);

// From /proc/<pid>/stat.
struct ProcessStat {
  char state = '?';        // R, S, D, Z (ended, not yet reaped), T, ...
  pid_t processGroup = 0;
  pid_t session = 0;
  uint64_t startTime = 0;  // clock ticks after boot: with the pid, names one process
};
std::optional<ProcessStat> processStat(pid_t pid);
// The process exists and has not ended (a zombie has ended).
bool isAlive(pid_t pid);
// This boot's identifier, so that a pid and start time noted earlier can be told stale.
std::string bootIdentifier();

// The arguments this process was started with, the program first.
std::vector<std::string> arguments();

// The executable that name stands for: name itself when it holds a '/', else the first
// executable regular file called name in the folders of searchPath (a PATH value; empty
// entries are skipped). Nothing when there is none.
std::optional<std::string> findExecutable(const std::string& name, const std::string& searchPath);
// The same with this process's PATH.
std::optional<std::string> findExecutable(const std::string& name);

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
  // After a wake-up the child's whole process group gets SIGTERM, and SIGKILL when something
  // of it is still there once this has passed.
  std::chrono::milliseconds killGrace{2000};
};

// Runs argv[0] (searched on PATH) with the arguments and waits for it. The child runs in a
// process group of its own with every signal unblocked and at its default, whatever this
// process has blocked; a wake-up ends the group, so that programs a shell started go too.
RunResult run(const std::vector<std::string>& argv, const RunOptions& options = {});
// Runs a command line through /bin/sh -c.
RunResult runShell(const std::string& command, const RunOptions& options = {});

struct SpawnResult {
  pid_t pid = 0;  // the started program, 0 when it could not be started
  int error = 0;  // errno of the failure
};

// Starts argv[0] (an absolute path, not searched) detached: in a session and process group of
// its own, not a child of this process (so it is never left as a zombie here), standard input
// from /dev/null, output inherited, every signal unblocked and at its default. environment
// changes this process's environment: a value sets the variable, nothing removes it. Returns
// once the program runs, or with the error that kept it from running.
SpawnResult spawnDetached(const std::vector<std::string>& argv,
                          const std::map<std::string, std::optional<std::string>>& environment = {});

// Quotes text for /bin/sh so that it stays one word whatever it holds.
std::string shellQuote(const std::string& text);

}  // namespace platform::process
