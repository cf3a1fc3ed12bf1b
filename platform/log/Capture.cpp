#include "log/Capture.h"

#include <algorithm>

namespace platform::log {

// Defined in Log_linux.cpp: the registry of installed captures.
void installCapture(Capture* capture);
void removeCapture(Capture* capture);

Capture::Capture() { installCapture(this); }

Capture::~Capture() { removeCapture(this); }

void Capture::add(const Record& record) {
  {
    std::lock_guard lock(mutex_);
    records_.push_back(record);
  }
  changed_.notify_all();
}

std::vector<Record> Capture::records() const {
  std::lock_guard lock(mutex_);
  return records_;
}

std::vector<std::string> Capture::messages() const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> out;
  for (const auto& r : records_) out.push_back(r.message);
  return out;
}

size_t Capture::count(std::string_view text) const {
  std::lock_guard lock(mutex_);
  return static_cast<size_t>(std::count_if(records_.begin(), records_.end(), [&](const Record& r) {
    return r.message.find(text) != std::string::npos;
  }));
}

bool Capture::contains(std::string_view text) const { return count(text) > 0; }

bool Capture::waitFor(std::string_view text, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] {
    return std::any_of(records_.begin(), records_.end(),
                       [&](const Record& r) { return r.message.find(text) != std::string::npos; });
  });
}

void Capture::clear() {
  std::lock_guard lock(mutex_);
  records_.clear();
}

}  // namespace platform::log
