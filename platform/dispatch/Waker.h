// Wakes a thread that waits in poll(): the waiting thread polls fd() for POLLIN next to its
// own descriptors and calls drain() when it fires. Used by every loop that must be stopped
// from another thread (run loops, the mount watcher, the TCP listener).
#pragma once

#include <memory>

namespace platform::dispatch {

class Waker {
 public:
  // Null when the system refuses a descriptor.
  [[nodiscard]] static std::unique_ptr<Waker> create();
  ~Waker();
  Waker(const Waker&) = delete;
  Waker& operator=(const Waker&) = delete;

  int fd() const { return fd_; }
  // Thread-safe and async-signal-safe; wakes stay pending until drain().
  void wake() const;
  void drain() const;

 private:
  explicit Waker(int fd) : fd_(fd) {}
  int fd_;
};

}  // namespace platform::dispatch
