// Thread affinity as a check: an object whose methods must all run on one thread (or one serial
// queue, which runs on one thread) holds a SequenceChecker and asserts it at each entry point.
// The check binds to the first thread that asserts it; detach() lets the object move to
// another thread once (for example after being built on one thread for use on another).
// In release builds (NDEBUG) the check costs nothing and never fails.
#pragma once

#include <atomic>
#include <thread>

namespace platform::dispatch {

class SequenceChecker {
 public:
  // True when called on the bound thread, binding it on first use.
  [[nodiscard]] bool calledOnValidSequence() const {
#ifdef NDEBUG
    return true;
#else
    std::thread::id expected{};
    const auto self = std::this_thread::get_id();
    if (bound_.compare_exchange_strong(expected, self)) return true;
    return expected == self;
#endif
  }
  void detach() { bound_.store(std::thread::id{}); }

 private:
  mutable std::atomic<std::thread::id> bound_{};
};

}  // namespace platform::dispatch

// Aborts in debug builds when the object is used from a thread it does not belong to. Release
// builds still name the checker, so that a checker used only here is not an unused member.
#ifdef NDEBUG
#define PELLORA_DCHECK_SEQUENCE(checker) ((void)(checker))
#else
#include <cstdio>
#include <cstdlib>
#define PELLORA_DCHECK_SEQUENCE(checker)                                                     \
  do {                                                                                      \
    if (!(checker).calledOnValidSequence()) {                                               \
      std::fprintf(stderr, "%s:%d: called on the wrong thread (%s)\n", __FILE__, __LINE__, \
                   __func__);                                                               \
      std::abort();                                                                         \
    }                                                                                       \
  } while (0)
#endif
