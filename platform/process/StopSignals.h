// Routes SIGTERM and SIGINT to a run loop: the loop stops when one arrives, so that a program
// ends through its normal path. The previous dispositions come back when the object goes.
#pragma once

#include <signal.h>

#include <memory>

#include "dispatch/RunLoop.h"

namespace platform::process {

class StopSignals {
 public:
  explicit StopSignals(std::shared_ptr<dispatch::RunLoop> loop);
  ~StopSignals();
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

 private:
  std::shared_ptr<dispatch::RunLoop> loop_;
  int pipe_[2] = {-1, -1};
  dispatch::RunLoop::WatchId watch_ = 0;
  struct sigaction savedTerm_ {};
  struct sigaction savedInt_ {};
};

}  // namespace platform::process
