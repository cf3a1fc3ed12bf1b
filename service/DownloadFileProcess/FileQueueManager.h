// Brings a list of files online one at a time through the gateway's download attribute,
// reports progress after each file, and hands its owner a summary and, a few seconds later,
// the signal that the batch is over. Main thread, except the attribute reads.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "AttrManager.h"
#include "dispatch/Queue.h"

class FileQueueManager : public std::enable_shared_from_this<FileQueueManager> {
 public:
  struct Status {
    double progressValue = 0;
    bool canceled = false;
    int64_t errorCount = 0;
    int64_t processedCount = 0;
    std::string localizedSummary() const;
  };

  // How long the summary stays before the batch is reported finished. Tests shorten them.
  struct ProcessDelayInterval {
    static platform::dispatch::Clock::duration completion;
    static platform::dispatch::Clock::duration error;
  };

  using UpdateHandler = std::function<void(double progress)>;
  using CompletedHandler = std::function<void(std::optional<std::string> summary, bool finished)>;

  static std::shared_ptr<FileQueueManager> create();

  // Starts a batch. While a batch runs, the files are added to it instead: nothing the user
  // asked for earlier is dropped, and the ring keeps moving forward.
  void streamFiles(const std::vector<std::string>& urls, UpdateHandler handler,
                   CompletedHandler completion);
  // Stops after the file being read now.
  void cancel();

  const Status& status() const { return status_; }
  const std::optional<std::deque<std::string>>& urlPathQueue() const { return urlPathQueue_; }
  bool isRunning() const { return running_; }

  // Counts below 10000 as they are; from 10000 on in thousands, "12.35k".
  static std::string formattedString(int64_t count);

  const std::string tokenLog = "Zavro FinderSync";

 private:
  FileQueueManager();
  void executeNext();
  void handleProcessTermination();
  void processCompletionWithDelay(const std::string& localizedSummary);

  std::optional<std::deque<std::string>> urlPathQueue_;
  AttrManager attrManager_;
  std::shared_ptr<platform::dispatch::Queue> queue_;
  Status status_;
  UpdateHandler updateHandler_;
  CompletedHandler completedHandler_;
  double step_ = 0;
  bool running_ = false;
  bool inFlight_ = false;
  // Numbers each batch, so that a finished signal scheduled by an earlier batch is not taken
  // for the end of a later one.
  uint64_t batch_ = 0;
};
