// Waiting for a condition with a deadline, for tests: never a fixed sleep.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace pellora::testing {

// Checks done() every few milliseconds until it holds or timeout passes; returns done().
inline bool waitUntil(const std::function<bool()>& done,
                      std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return done();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

}  // namespace pellora::testing
