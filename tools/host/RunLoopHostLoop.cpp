#include "RunLoopHostLoop.h"

namespace pellora::host {

RunLoopHostLoop::RunLoopHostLoop(std::shared_ptr<platform::dispatch::RunLoop> loop)
    : loop_(std::move(loop)) {}

void RunLoopHostLoop::post(Work work) { loop_->perform(std::move(work)); }

std::function<void(HostLoop::Work)> RunLoopHostLoop::poster() {
  return [loop = loop_](Work work) { loop->perform(std::move(work)); };
}

HostLoop::TimerId RunLoopHostLoop::addTimer(Clock::duration delay, Clock::duration interval,
                                            Work callback) {
  return loop_->addTimer(delay, interval, std::move(callback));
}

void RunLoopHostLoop::removeTimer(TimerId id) { loop_->removeTimer(id); }

HostLoop::WatchId RunLoopHostLoop::addWatch(int fd, short events,
                                            std::function<void(short)> callback) {
  return loop_->addWatch(fd, events, std::move(callback));
}

void RunLoopHostLoop::removeWatch(WatchId id) { loop_->removeWatch(id); }

bool RunLoopHostLoop::servePostedUntil(const std::function<bool()>& done,
                                       Clock::duration timeout) {
  return loop_->runUntil(done, std::chrono::ceil<std::chrono::milliseconds>(timeout));
}

bool RunLoopHostLoop::isLoopThread() const {
  return loop_ == platform::dispatch::RunLoop::current();
}

}  // namespace pellora::host
