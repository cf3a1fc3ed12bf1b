// Routes SIGTERM and SIGINT to a run loop: the loop stops when one arrives. The previous
// dispositions come back when the object goes.
#pragma once

#include <signal.h>

#include <memory>

#include "dispatch/RunLoop.h"

namespace pellora::finder {

class StopSignals {
 public:
  explicit StopSignals(std::shared_ptr<platform::dispatch::RunLoop> loop);
  ~StopSignals();
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

 private:
  std::shared_ptr<platform::dispatch::RunLoop> loop_;
  int pipe_[2] = {-1, -1};
  platform::dispatch::RunLoop::WatchId watch_ = 0;
  struct sigaction savedTerm_ {};
  struct sigaction savedInt_ {};
};

}  // namespace pellora::finder
