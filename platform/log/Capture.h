// Collects log records while it exists, for tests. Several captures may be installed at once.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "log/Log.h"

namespace platform::log {

class Capture {
 public:
  Capture();
  ~Capture();
  Capture(const Capture&) = delete;
  Capture& operator=(const Capture&) = delete;

  std::vector<Record> records() const;
  std::vector<std::string> messages() const;
  // True when some record's message contains text.
  bool contains(std::string_view text) const;
  size_t count(std::string_view text) const;
  // Waits until a record containing text arrives or the timeout passes.
  bool waitFor(std::string_view text, std::chrono::milliseconds timeout) const;
  void clear();

  void add(const Record& record);

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<Record> records_;
};

}  // namespace platform::log
