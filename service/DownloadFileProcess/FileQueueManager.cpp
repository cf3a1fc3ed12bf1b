#include "DownloadFileProcess/FileQueueManager.h"

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <utility>

#include "CLog.h"
#include "Localization.h"

namespace dispatch = platform::dispatch;
using State = AttrManager::DownloadState;

// The reader takes the files in order and leaves each result here; the main thread is told
// with one post for as many results as gather meanwhile. Neither side waits for the other.
struct FileQueueManager::Feed {
  struct Read {
    uint64_t epoch;
    State state;
    std::string path;
  };
  std::mutex mutex;
  // The batch's files; those from next on are not started yet.
  FileList files;
  size_t next = 0;
  // Tags each read with the batch's state when it began; the main thread moves it on at a new
  // batch and at a cancel.
  uint64_t epoch = 0;
  // A read loop is queued or running on the serial queue.
  bool reading = false;
  std::vector<Read> results;
  // A report is queued on the main queue, or the main thread is taking results.
  bool reportQueued = false;
  // The reads run on the serial queue's thread only.
  dispatch::SequenceChecker reader;
};

std::shared_ptr<FileQueueManager> FileQueueManager::create() {
  return create({ProcessDelayInterval::completion, ProcessDelayInterval::error});
}

std::shared_ptr<FileQueueManager> FileQueueManager::create(Delays delays) {
  return std::shared_ptr<FileQueueManager>(new FileQueueManager(delays));
}

FileQueueManager::FileQueueManager(Delays delays)
    : delays_(delays),
      feed_(std::make_shared<Feed>()),
      queue_(dispatch::makeSerialQueue("FileQueueManagerQueue")) {}

FileQueueManager::~FileQueueManager() {
  // The reader stops after the file it is reading; the serial queue then waits for it.
  std::lock_guard lock(feed_->mutex);
  feed_->files = FileList();
  feed_->next = 0;
}

const FileQueueManager::Status& FileQueueManager::status() const {
  PELLORA_DCHECK_SEQUENCE(sequence_);
  return status_;
}

std::optional<std::vector<std::string>> FileQueueManager::urlPathQueue() const {
  PELLORA_DCHECK_SEQUENCE(sequence_);
  if (!queued_) return std::nullopt;
  std::vector<std::string> left;
  std::lock_guard lock(feed_->mutex);
  for (size_t i = feed_->next; i < feed_->files.size(); ++i) left.push_back(feed_->files[i]);
  return left;
}

bool FileQueueManager::isRunning() const {
  PELLORA_DCHECK_SEQUENCE(sequence_);
  return running_;
}

std::string FileQueueManager::formattedString(int64_t count) {
  if (count < 10000) return std::to_string(count);
  char text[32];
  std::snprintf(text, sizeof text, "%0.2fk", static_cast<double>(static_cast<float>(count) / 1000.0f));
  return text;
}

std::string FileQueueManager::Status::localizedSummary() const {
  const std::string processed = formattedString(processedCount);
  if (errorCount != 0) {
    return localizedFormat("files_progress_menu %@ add %@ failed", {processed, formattedString(errorCount)});
  }
  return localizedFormat("%@ files_added_to_queue", {processed});
}

void FileQueueManager::streamFiles(FileList urls, UpdateHandler handler, CompletedHandler completion) {
  PELLORA_DCHECK_SEQUENCE(sequence_);
  updateHandler_ = std::move(handler);
  completedHandler_ = std::move(completion);
  if (running_) {
    if (urls.empty()) return;
    status_.canceled = false;
    pending_ += urls.size();
    // The rest of the ring is shared by every file still to come.
    step_ = (1.0 - status_.progressValue) / static_cast<double>(pending_);
    bool start = false;
    {
      std::lock_guard lock(feed_->mutex);
      feed_->files.append(std::move(urls));
      start = !std::exchange(feed_->reading, true);
    }
    startReading(start);
    return;
  }
  ++batch_;
  if (urls.empty()) {
    status_ = Status{};
    status_.errorCount = 1;  // so that the message stays the longer time
    processCompletionWithDelay(localizedString("no_files_added_to_queue"));
    return;
  }
  status_ = Status{};
  pending_ = urls.size();
  step_ = 1.0 / static_cast<double>(urls.size());
  running_ = true;
  queued_ = true;
  bool start = false;
  {
    std::lock_guard lock(feed_->mutex);
    feed_->files = std::move(urls);
    feed_->next = 0;
    // A read still under way for an earlier batch does not count for this one.
    firstCountedEpoch_ = ++feed_->epoch;
    start = !std::exchange(feed_->reading, true);
  }
  startReading(start);
}

void FileQueueManager::startReading(bool start) {
  if (!start) return;
  queue_->async([feed = feed_, attrManager = attrManager_, weak = weak_from_this()] {
    readFiles(*feed, attrManager, weak);
  });
}

void FileQueueManager::readFiles(Feed& feed, const AttrManager& attrManager,
                                 const std::weak_ptr<FileQueueManager>& weak) {
  PELLORA_DCHECK_SEQUENCE(feed.reader);
  std::string path;
  std::unique_lock lock(feed.mutex);
  for (;;) {
    if (feed.next >= feed.files.size()) {
      feed.reading = false;
      return;
    }
    feed.files.path(feed.next++, path);
    const uint64_t epoch = feed.epoch;
    lock.unlock();
    const State state = attrManager.bringFileOnline(path);
    lock.lock();
    feed.results.push_back(Feed::Read{epoch, state, path});
    if (!std::exchange(feed.reportQueued, true)) {
      lock.unlock();
      dispatch::mainQueue()->async([weak] {
        if (auto self = weak.lock()) self->report();
      });
      lock.lock();
    }
  }
}

void FileQueueManager::report() {
  PELLORA_DCHECK_SEQUENCE(sequence_);
  std::vector<Feed::Read> reads;
  {
    std::lock_guard lock(feed_->mutex);
    reads.swap(feed_->results);
  }
  for (auto& read : reads) fileDone(read.epoch, read.state, std::move(read.path));
  {
    std::lock_guard lock(feed_->mutex);
    if (feed_->results.empty()) {
      feed_->reportQueued = false;
      return;
    }
  }
  // More came meanwhile: taken in a later turn, so that the main queue's other work (a click on
  // the cancel button) is not held up behind a long batch.
  dispatch::mainQueue()->async(dispatch::weakly(shared_from_this(), [](FileQueueManager& self) {
    self.report();
  }));
}

void FileQueueManager::fileDone(uint64_t epoch, State state, std::string path) {
  PELLORA_DCHECK_SEQUENCE(sequence_);
  if (!running_ || epoch < firstCountedEpoch_) return;
  --pending_;
  const bool failed = state != State::success && state != State::isNotStub;
  if (state == State::success) {
    ++status_.processedCount;
  } else if (failed) {
    ++status_.errorCount;
  }
  status_.progressValue = std::min(1.0, status_.progressValue + step_);
  reporting_ = true;
  if (fileHandler_) fileHandler_(FileResult{std::move(path), state, failed});
  if (updateHandler_) updateHandler_(status_.progressValue);
  reporting_ = false;
  if (running_ && pending_ == 0) handleProcessTermination();
}

void FileQueueManager::handleProcessTermination() {
  PELLORA_DCHECK_SEQUENCE(sequence_);
  running_ = false;
  {
    std::lock_guard lock(feed_->mutex);
    feed_->files = FileList();
    feed_->next = 0;
  }
  if (status_.canceled) {
    processCompletionWithDelay(localizedString("no_files_added_to_queue"));
    CLOG(StringTag::Service, tokenLog + ". File processing canceled");
    return;
  }
  if (updateHandler_) updateHandler_(1.0);
  processCompletionWithDelay(status_.localizedSummary());
}

void FileQueueManager::processCompletionWithDelay(const std::string& localizedSummary) {
  PELLORA_DCHECK_SEQUENCE(sequence_);
  CLOG(StringTag::Service, tokenLog + ". processCompletionWithDelay");
  if (completedHandler_) completedHandler_(localizedSummary, false);
  const auto delay = status_.errorCount < 1 ? delays_.completion : delays_.error;
  // Holds the manager: the finished signal must come.
  dispatch::mainQueue()->asyncAfter(delay, [self = shared_from_this(), batch = batch_] {
    PELLORA_DCHECK_SEQUENCE(self->sequence_);
    if (self->batch_ != batch || self->running_) return;
    if (self->completedHandler_) self->completedHandler_(std::nullopt, true);
    self->completedHandler_ = nullptr;
    self->updateHandler_ = nullptr;
  });
}

void FileQueueManager::setFileHandler(FileHandler handler) {
  PELLORA_DCHECK_SEQUENCE(sequence_);
  fileHandler_ = std::move(handler);
}

void FileQueueManager::cancel() {
  PELLORA_DCHECK_SEQUENCE(sequence_);
  status_.canceled = true;
  if (running_) {
    // The files not started yet are dropped with the batch; one added later starts afresh.
    {
      std::lock_guard lock(feed_->mutex);
      pending_ -= feed_->files.size() - feed_->next;
      feed_->files = FileList();
      feed_->next = 0;
      ++feed_->epoch;
      // While a file is being reported no other has begun, as far as the batch goes: what the
      // reader has read ahead does not count.
      if (reporting_) {
        firstCountedEpoch_ = feed_->epoch;
        pending_ = 0;
      }
    }
    // With no file under way the batch ends here, in a turn of its own as after a file.
    if (pending_ == 0 && !reporting_) {
      dispatch::mainQueue()->async(dispatch::weakly(shared_from_this(), [](FileQueueManager& self) {
        if (self.running_ && self.pending_ == 0) self.handleProcessTermination();
      }));
    }
  }
  CLOG(StringTag::Service, tokenLog + ". File processing canceled was set");
}
