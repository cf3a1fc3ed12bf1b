// Brings a list of files online one at a time through the gateway's download attribute,
// reports progress after each file, and hands its owner a summary and, a few seconds later,
// the signal that the batch is over. Main thread (checked), except the attribute reads: those
// run one after another on the serial queue, which goes on to the next file without waiting
// for the main thread to take the result.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "AttrManager.h"
#include "FileList.h"
#include "dispatch/Queue.h"
#include "dispatch/SequenceChecker.h"

class FileQueueManager : public std::enable_shared_from_this<FileQueueManager> {
 public:
  struct Status {
    double progressValue = 0;
    bool canceled = false;
    int64_t errorCount = 0;
    int64_t processedCount = 0;
    std::string localizedSummary() const;
  };

  // How long the summary stays before the batch is reported finished: after a clean batch, and
  // after one with failures (or with no files).
  struct ProcessDelayInterval {
    static constexpr platform::dispatch::Clock::duration completion = std::chrono::seconds(3);
    static constexpr platform::dispatch::Clock::duration error = std::chrono::seconds(10);
  };
  // The delays one queue uses: the product's, unless its creator passes others.
  struct Delays {
    platform::dispatch::Clock::duration completion;
    platform::dispatch::Clock::duration error;
  };

  using UpdateHandler = std::function<void(double progress)>;
  using CompletedHandler = std::function<void(std::optional<std::string> summary, bool finished)>;

  // One file the batch counts, as the gateway answered for it.
  struct FileResult {
    std::string path;
    AttrManager::DownloadState state;
    // Counted among the failures (anything but brought online or already online).
    bool failed;
  };
  using FileHandler = std::function<void(const FileResult& result)>;

  static std::shared_ptr<FileQueueManager> create();
  static std::shared_ptr<FileQueueManager> create(Delays delays);
  ~FileQueueManager();

  // Starts a batch. While a batch runs, the files are added to it instead: nothing the user
  // asked for earlier is dropped, and the ring keeps moving forward.
  void streamFiles(FileList urls, UpdateHandler handler, CompletedHandler completion);
  // Stops after the file being read now. Called while a file's progress is being reported
  // (from the update handler), it stops after that file: a file the serial queue has read
  // ahead meanwhile is neither counted nor reported.
  void cancel();
  // Told of each file the batch counts, on the main thread, just before the update handler
  // hears of its progress; none by default. Stays for later batches.
  void setFileHandler(FileHandler handler);

  const Status& status() const;
  // The files not started yet; none before the first batch.
  std::optional<std::vector<std::string>> urlPathQueue() const;
  // From the start of a batch until its last file is done (the summary then follows).
  bool isRunning() const;
  const Delays& delays() const { return delays_; }

  // Counts below 10000 as they are; from 10000 on in thousands, "12.35k".
  static std::string formattedString(int64_t count);

  const std::string tokenLog = "Zavro FinderSync";

 private:
  // What the main thread and the reader on the serial queue share (defined in the source).
  struct Feed;

  explicit FileQueueManager(Delays delays);
  static void readFiles(Feed& feed, const AttrManager& attrManager,
                        const std::weak_ptr<FileQueueManager>& weak);
  // Queues the reader on the serial queue unless it is at work already; call under no lock.
  void startReading(bool start);
  // Takes the results the reader has left since the last time.
  void report();
  void fileDone(uint64_t epoch, AttrManager::DownloadState state, std::string path);
  void handleProcessTermination();
  void processCompletionWithDelay(const std::string& localizedSummary);

  const Delays delays_;
  // Everything but the attribute reads runs on the main thread.
  platform::dispatch::SequenceChecker sequence_;
  AttrManager attrManager_;
  std::shared_ptr<Feed> feed_;
  std::shared_ptr<platform::dispatch::Queue> queue_;
  Status status_;
  UpdateHandler updateHandler_;
  CompletedHandler completedHandler_;
  FileHandler fileHandler_;
  double step_ = 0;
  bool running_ = false;
  bool queued_ = false;
  // The results still to come that count for the batch.
  size_t pending_ = 0;
  // Results of reads begun before this mark are not counted (see cancel()).
  uint64_t firstCountedEpoch_ = 0;
  // True while the update handler is told of a file.
  bool reporting_ = false;
  // Numbers each batch, so that a finished signal scheduled by an earlier batch is not taken
  // for the end of a later one.
  uint64_t batch_ = 0;
};
