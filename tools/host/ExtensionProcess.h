// One running extension process: started from its bundle's executable with one end of a new
// socket pair inherited under the number in PELLORA_FINDERSYNC_FD; the host keeps the other
// end.
#pragma once

#include <sys/types.h>

#include <memory>
#include <optional>
#include <string>

namespace pellora::host {

class ExtensionProcess {
 public:
  // Starts executable; nothing (with the reason in error) when it cannot be started.
  static std::unique_ptr<ExtensionProcess> launch(const std::string& executable,
                                                  std::string& error);
  // A process still running is killed and reaped: none outlives its object.
  ~ExtensionProcess();
  ExtensionProcess(const ExtensionProcess&) = delete;
  ExtensionProcess& operator=(const ExtensionProcess&) = delete;

  pid_t pid() const { return pid_; }
  // Readable once the process has ended; -1 when the kernel has no process descriptors
  // (then poll reap()).
  int exitFd() const { return pidfd_; }
  // The host's end of the socket pair; the caller owns it afterwards.
  int takeSocket();
  void signal(int sig) const;
  // The wait status once the process has ended (collected once, kept after), else nothing.
  std::optional<int> reap();

 private:
  ExtensionProcess() = default;

  pid_t pid_ = -1;
  int pidfd_ = -1;
  int socket_ = -1;
  std::optional<int> status_;
};

}  // namespace pellora::host
