#include "dispatch/RunLoop.h"

#include <poll.h>

#include <cerrno>
#include <climits>

#include "dispatch/Waker.h"

namespace platform::dispatch {
namespace {

// How often a loop without a waker looks for posted work.
constexpr auto kUnwokenPoll = std::chrono::milliseconds(5);

// Static initialisation runs on the main thread, before main().
const std::thread::id kMainThread = std::this_thread::get_id();

std::mutex& mainLoopMutex() {
  static std::mutex m;
  return m;
}

std::shared_ptr<RunLoop>& mainLoopSlot() {
  static std::shared_ptr<RunLoop> loop;
  return loop;
}

}  // namespace

std::shared_ptr<RunLoop> RunLoop::main() {
  std::lock_guard lock(mainLoopMutex());
  auto& slot = mainLoopSlot();
  if (!slot) slot = std::make_shared<RunLoop>();
  return slot;
}

bool RunLoop::isMainThread() { return std::this_thread::get_id() == kMainThread; }

std::shared_ptr<RunLoop> RunLoop::current() {
  if (std::this_thread::get_id() == kMainThread) return main();
  thread_local std::shared_ptr<RunLoop> loop = std::make_shared<RunLoop>();
  return loop;
}

RunLoop::RunLoop() : waker_(Waker::create()) {}

RunLoop::~RunLoop() = default;

void RunLoop::wake() {
  if (waker_) waker_->wake();
}

void RunLoop::stop() {
  {
    std::lock_guard lock(mutex_);
    stopRequested_ = true;
  }
  wake();
}

void RunLoop::perform(Work work) {
  {
    std::lock_guard lock(mutex_);
    posted_.push_back(std::move(work));
  }
  wake();
}

RunLoop::TimerId RunLoop::addTimer(Clock::duration firstDelay, Clock::duration interval,
                                   Work callback) {
  TimerId id;
  {
    std::lock_guard lock(mutex_);
    id = nextId_++;
    timers_[id] = Timer{Clock::now() + firstDelay, interval,
                        std::make_shared<Work>(std::move(callback))};
  }
  wake();
  return id;
}

void RunLoop::removeTimer(TimerId id) {
  std::lock_guard lock(mutex_);
  timers_.erase(id);
}

RunLoop::WatchId RunLoop::addWatch(int fd, short events, std::function<void(short)> callback) {
  WatchId id;
  {
    std::lock_guard lock(mutex_);
    id = nextId_++;
    watches_[id] = Watch{fd, events, true,
                         std::make_shared<std::function<void(short)>>(std::move(callback))};
  }
  wake();
  return id;
}

void RunLoop::setWatchEnabled(WatchId id, bool enabled) {
  {
    std::lock_guard lock(mutex_);
    auto it = watches_.find(id);
    if (it == watches_.end()) return;
    it->second.enabled = enabled;
  }
  wake();
}

void RunLoop::removeWatch(WatchId id) {
  {
    std::lock_guard lock(mutex_);
    watches_.erase(id);
  }
  wake();
}

void RunLoop::run() {
  for (;;) {
    {
      std::lock_guard lock(mutex_);
      if (stopRequested_) {
        stopRequested_ = false;
        return;
      }
    }
    serveOnce(std::chrono::hours(1));
  }
}

bool RunLoop::runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (!done()) {
    const auto now = Clock::now();
    if (now >= deadline) return done();
    // Short passes so that a condition changed by another thread is seen soon.
    serveOnce(std::min<Clock::duration>(deadline - now, std::chrono::milliseconds(10)));
  }
  return true;
}

void RunLoop::serveOnce(Clock::duration maxWait) {
  std::vector<Work> work;
  {
    std::lock_guard lock(mutex_);
    work.swap(posted_);
  }
  for (auto& w : work) w();

  // Fire due timers. A callback may add or remove timers, so each is looked up again
  // right before it fires.
  std::vector<TimerId> due;
  auto now = Clock::now();
  {
    std::lock_guard lock(mutex_);
    for (const auto& [id, t] : timers_) {
      if (t.due <= now) due.push_back(id);
    }
  }
  for (TimerId id : due) {
    std::shared_ptr<Work> callback;
    {
      std::lock_guard lock(mutex_);
      auto it = timers_.find(id);
      if (it == timers_.end()) continue;
      callback = it->second.callback;
      if (it->second.interval.count() == 0) {
        timers_.erase(it);
      } else {
        // A late repeating timer fires once, then keeps its rhythm from now.
        while (it->second.due <= now) it->second.due += it->second.interval;
      }
    }
    (*callback)();
  }

  std::vector<pollfd> fds;
  std::vector<WatchId> ids;
  Clock::duration wait = maxWait;
  {
    std::lock_guard lock(mutex_);
    if (!posted_.empty() || stopRequested_) wait = Clock::duration::zero();
    now = Clock::now();
    for (const auto& [id, t] : timers_) {
      wait = std::min(wait, t.due > now ? t.due - now : Clock::duration::zero());
    }
    if (waker_) {
      fds.push_back(pollfd{waker_->fd(), POLLIN, 0});
    } else {
      wait = std::min<Clock::duration>(wait, kUnwokenPoll);
      fds.push_back(pollfd{-1, 0, 0});  // keeps the watches at index 1 and up
    }
    ids.push_back(0);
    for (const auto& [id, w] : watches_) {
      if (!w.enabled) continue;
      fds.push_back(pollfd{w.fd, w.events, 0});
      ids.push_back(id);
    }
  }
  // Round up so that a timer due in less than a millisecond does not spin.
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(wait).count();
  const int timeout = static_cast<int>(std::min<long long>(ms, INT_MAX));
  const int ready = ::poll(fds.data(), fds.size(), timeout);
  if (ready <= 0) return;
  if (waker_ && (fds[0].revents & POLLIN)) waker_->drain();
  for (size_t i = 1; i < fds.size(); ++i) {
    if (fds[i].revents == 0) continue;
    std::shared_ptr<std::function<void(short)>> callback;
    {
      // An earlier callback of this pass may have removed or paused the watch.
      std::lock_guard lock(mutex_);
      auto it = watches_.find(ids[i]);
      if (it == watches_.end() || !it->second.enabled) continue;
      callback = it->second.callback;
    }
    (*callback)(fds[i].revents);
  }
}

}  // namespace platform::dispatch
