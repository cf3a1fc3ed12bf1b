#include "DownloadFileProcess/FileQueueManager.h"

#include <algorithm>
#include <cstdio>

#include "CLog.h"
#include "Localization.h"

namespace dispatch = platform::dispatch;
using State = AttrManager::DownloadState;

std::shared_ptr<FileQueueManager> FileQueueManager::create() {
  return create({ProcessDelayInterval::completion, ProcessDelayInterval::error});
}

std::shared_ptr<FileQueueManager> FileQueueManager::create(Delays delays) {
  return std::shared_ptr<FileQueueManager>(new FileQueueManager(delays));
}

FileQueueManager::FileQueueManager(Delays delays)
    : delays_(delays), queue_(dispatch::makeSerialQueue("FileQueueManagerQueue")) {}

const FileQueueManager::Status& FileQueueManager::status() const {
  PELLORA_DCHECK_SEQUENCE(sequence_);
  return status_;
}

const std::optional<std::deque<std::string>>& FileQueueManager::urlPathQueue() const {
  PELLORA_DCHECK_SEQUENCE(sequence_);
  return urlPathQueue_;
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

void FileQueueManager::streamFiles(const std::vector<std::string>& urls, UpdateHandler handler,
                                   CompletedHandler completion) {
  PELLORA_DCHECK_SEQUENCE(sequence_);
  updateHandler_ = std::move(handler);
  completedHandler_ = std::move(completion);
  if (running_) {
    if (urls.empty()) return;
    if (!urlPathQueue_) urlPathQueue_.emplace();
    urlPathQueue_->insert(urlPathQueue_->end(), urls.begin(), urls.end());
    status_.canceled = false;
    // The rest of the ring is shared by every file still to come.
    const size_t left = urlPathQueue_->size() + (inFlight_ ? 1 : 0);
    step_ = (1.0 - status_.progressValue) / static_cast<double>(left);
    return;
  }
  ++batch_;
  if (urls.empty()) {
    status_ = Status{};
    status_.errorCount = 1;  // so that the message stays the longer time
    processCompletionWithDelay(localizedString("no_files_added_to_queue"));
    return;
  }
  urlPathQueue_ = std::deque<std::string>(urls.begin(), urls.end());
  status_ = Status{};
  step_ = 1.0 / static_cast<double>(urls.size());
  running_ = true;
  executeNext();
}

void FileQueueManager::executeNext() {
  PELLORA_DCHECK_SEQUENCE(sequence_);
  if (status_.canceled || !urlPathQueue_ || urlPathQueue_->empty()) {
    handleProcessTermination();
    return;
  }
  const std::string url = urlPathQueue_->front();
  urlPathQueue_->pop_front();
  inFlight_ = true;
  std::weak_ptr<FileQueueManager> weak = weak_from_this();
  queue_->async([weak, url] {
    auto self = weak.lock();
    if (!self) return;
    const State state = self->attrManager_.bringFileOnline(url);
    self.reset();
    dispatch::mainQueue()->async([weak, state] {
      auto self = weak.lock();
      if (!self) return;
      PELLORA_DCHECK_SEQUENCE(self->sequence_);
      self->inFlight_ = false;
      if (state == State::success) {
        ++self->status_.processedCount;
      } else if (state != State::isNotStub) {
        ++self->status_.errorCount;
      }
      self->status_.progressValue = std::min(1.0, self->status_.progressValue + self->step_);
      if (self->updateHandler_) self->updateHandler_(self->status_.progressValue);
      self->executeNext();
    });
  });
}

void FileQueueManager::handleProcessTermination() {
  PELLORA_DCHECK_SEQUENCE(sequence_);
  running_ = false;
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

void FileQueueManager::cancel() {
  PELLORA_DCHECK_SEQUENCE(sequence_);
  status_.canceled = true;
  // The files not started yet are dropped with the batch; one added later starts afresh.
  if (urlPathQueue_) urlPathQueue_->clear();
  CLOG(StringTag::Service, tokenLog + ". File processing canceled was set");
}
