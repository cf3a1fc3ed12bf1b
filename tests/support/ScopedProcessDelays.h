// Shorter close delays of the download queue for one test; the product's delays come back
// when the test ends. For targets that link the download queue.
#pragma once

#include "DownloadFileProcess/FileQueueManager.h"

namespace pellora::testing {

class ScopedProcessDelays {
 public:
  using Duration = platform::dispatch::Clock::duration;

  ScopedProcessDelays(Duration completion, Duration error)
      : completion_(FileQueueManager::ProcessDelayInterval::completion),
        error_(FileQueueManager::ProcessDelayInterval::error) {
    FileQueueManager::ProcessDelayInterval::completion = completion;
    FileQueueManager::ProcessDelayInterval::error = error;
  }
  ~ScopedProcessDelays() {
    FileQueueManager::ProcessDelayInterval::completion = completion_;
    FileQueueManager::ProcessDelayInterval::error = error_;
  }
  ScopedProcessDelays(const ScopedProcessDelays&) = delete;
  ScopedProcessDelays& operator=(const ScopedProcessDelays&) = delete;

 private:
  Duration completion_;
  Duration error_;
};

}  // namespace pellora::testing
