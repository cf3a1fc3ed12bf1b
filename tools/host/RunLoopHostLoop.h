// A host loop over a platform run loop (the Finder stand-in's main loop; unit tests).
// servePostedUntil serves the whole run loop.
#pragma once

#include <memory>

#include "HostLoop.h"

namespace pellora::host {

class RunLoopHostLoop final : public HostLoop {
 public:
  explicit RunLoopHostLoop(std::shared_ptr<platform::dispatch::RunLoop> loop);

  void post(Work work) override;
  std::function<void(Work)> poster() override;
  TimerId addTimer(Clock::duration delay, Clock::duration interval, Work callback) override;
  void removeTimer(TimerId id) override;
  WatchId addWatch(int fd, short events, std::function<void(short)> callback) override;
  void removeWatch(WatchId id) override;
  bool servePostedUntil(const std::function<bool()>& done, Clock::duration timeout) override;
  bool isLoopThread() const override;

 private:
  std::shared_ptr<platform::dispatch::RunLoop> loop_;
};

}  // namespace pellora::host
