// A running application of the current user: a process whose executable lies inside an
// application bundle (the nearest enclosing "*.app" or "*.appex" folder). It names one process
// for its whole life: once that process has ended, a new process with the same pid is not it.
#pragma once

#include <sys/types.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace platform::workspace {

struct BundleInfo;
struct OpenConfiguration;

class RunningApplication {
 public:
  // The process with that pid when it runs and belongs to the current user; its bundle fields
  // stay empty when its executable is not inside a bundle.
  static std::optional<RunningApplication> withProcessIdentifier(pid_t pid);
  // The current user's running processes whose bundle has that CFBundleIdentifier, by pid.
  static std::vector<RunningApplication> runningApplications(const std::string& bundleIdentifier);

  pid_t processIdentifier() const { return pid_; }
  const std::optional<std::string>& bundleIdentifier() const { return bundleIdentifier_; }
  // The bundle folder, symbolic links resolved.
  const std::optional<std::string>& bundleURL() const { return bundleURL_; }
  const std::optional<std::string>& executableURL() const { return executableURL_; }

  // The process has ended (a zombie has ended too).
  bool isTerminated() const;
  // SIGKILL; false when the process had ended or the signal was refused.
  bool forceTerminate() const;
  // SIGTERM, the request to quit.
  bool terminate() const;

 private:
  struct Handle;
  RunningApplication(pid_t pid, std::shared_ptr<const Handle> handle);
  static std::optional<RunningApplication> describe(pid_t pid, const std::string& executable);
  bool signal(int number) const;

  friend void openApplicationNow(const std::string&, const OpenConfiguration&,
                                 std::optional<RunningApplication>&, std::optional<std::string>&);

  pid_t pid_ = 0;
  std::shared_ptr<const Handle> handle_;
  std::optional<std::string> bundleIdentifier_;
  std::optional<std::string> bundleURL_;
  std::optional<std::string> executableURL_;
};

}  // namespace platform::workspace
