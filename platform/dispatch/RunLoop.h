// A per-thread run loop: posted work, one-shot and repeating timers, and file-descriptor
// watches, served on the thread that runs it. The main thread's loop backs the main queue
// unless a GUI event loop is bound to it (bindMainQueue in Queue.h).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace platform::dispatch {

class Waker;

using Clock = std::chrono::steady_clock;
using Work = std::function<void()>;

class RunLoop {
 public:
  using TimerId = uint64_t;
  using WatchId = uint64_t;

  // The loop of the calling thread, created on first use; it lives while its thread lives
  // and while anyone holds it.
  static std::shared_ptr<RunLoop> current();
  // The loop of the process's main thread.
  static std::shared_ptr<RunLoop> main();
  static bool isMainThread();

  RunLoop();
  ~RunLoop();
  RunLoop(const RunLoop&) = delete;
  RunLoop& operator=(const RunLoop&) = delete;

  // Serves until stop(). A stop() that came before run() makes run() return at once.
  void run();
  // Serves until done() holds or the timeout passes; returns done(). Does not consume a stop.
  bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);
  // Thread-safe; may be called before the loop runs.
  void stop();

  // Thread-safe: work runs on the loop's thread, in order.
  void perform(Work work);

  // Thread-safe. interval zero makes a one-shot timer. The callback runs on the loop's thread.
  TimerId addTimer(Clock::duration firstDelay, Clock::duration interval, Work callback);
  void removeTimer(TimerId id);

  // Thread-safe. events as for poll(); the callback gets revents.
  WatchId addWatch(int fd, short events, std::function<void(short)> callback);
  void setWatchEnabled(WatchId id, bool enabled);
  void removeWatch(WatchId id);

 private:
  struct Timer {
    Clock::time_point due;
    Clock::duration interval;
    std::shared_ptr<Work> callback;
  };
  struct Watch {
    int fd;
    short events;
    bool enabled;
    std::shared_ptr<std::function<void(short)>> callback;
  };

  // One pass: posted work, due timers, then a poll that waits at most until maxWait.
  void serveOnce(Clock::duration maxWait);
  void wake();

  // Null when the system refused a descriptor: the loop then looks for work every few
  // milliseconds instead of waiting to be woken.
  std::unique_ptr<Waker> waker_;
  std::mutex mutex_;
  std::vector<Work> posted_;
  std::map<TimerId, Timer> timers_;
  std::map<WatchId, Watch> watches_;
  uint64_t nextId_ = 1;
  bool stopRequested_ = false;
};

}  // namespace platform::dispatch
