// The event loop a host of Finder Sync extensions lives on. Every call into the host, every
// message from an extension and every timer and descriptor callback runs on the loop's thread,
// so the host needs no locks. The Finder stand-in's loop is the platform's main run loop; in
// Nautilus it is GLib's main context (tools/nautilus/GLibLoop.h).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>

#include "dispatch/RunLoop.h"

namespace pellora::host {

class HostLoop {
 public:
  using Clock = platform::dispatch::Clock;
  using Work = platform::dispatch::Work;
  using TimerId = uint64_t;
  using WatchId = uint64_t;

  virtual ~HostLoop() = default;

  // Thread-safe: work runs on the loop's thread, in the order posted.
  virtual void post(Work work) = 0;
  // The same as a function that may outlive the loop (work posted after its end is dropped):
  // for producers on other threads whose end is not ordered with the loop's.
  virtual std::function<void(Work)> poster() = 0;
  // A zero interval makes a one-shot timer. Ids are never 0.
  virtual TimerId addTimer(Clock::duration delay, Clock::duration interval, Work callback) = 0;
  virtual void removeTimer(TimerId id) = 0;
  // events as for poll(); the callback gets what happened. Ids are never 0.
  virtual WatchId addWatch(int fd, short events, std::function<void(short)> callback) = 0;
  virtual void removeWatch(WatchId id) = 0;
  // On the loop's thread, for a caller that has to answer synchronously: runs posted work (and
  // nothing else the loop serves) until done() holds or the timeout passes; returns done().
  virtual bool servePostedUntil(const std::function<bool()>& done, Clock::duration timeout) = 0;
  // True on the loop's thread.
  virtual bool isLoopThread() const = 0;
};

}  // namespace pellora::host
