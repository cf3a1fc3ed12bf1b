// The simulator's "we are shutting down": once triggered, every wait on it ends at once, so
// that calls blocked in a simulated latency or download let the file system go. trigger() is
// async-signal-safe.
#pragma once

#include <chrono>

namespace pellora::gatewaysim {

class StopSignal {
 public:
  StopSignal();
  ~StopSignal();
  StopSignal(const StopSignal&) = delete;
  StopSignal& operator=(const StopSignal&) = delete;

  void trigger();
  bool triggered() const;

  // Waits for duration; false when the stop came first.
  bool sleepFor(std::chrono::milliseconds duration) const;
  // Waits until fd is readable; false when the stop came first.
  bool waitReadable(int fd) const;

 private:
  int fds_[2] = {-1, -1};
};

}  // namespace pellora::gatewaysim
