#include "DownloadFileProcess/FileProcessController.h"

#include "CLog.h"
#include "Localization.h"
#include "dispatch/Queue.h"

namespace dispatch = platform::dispatch;

std::shared_ptr<FileProcessController> FileProcessController::create(
    AttrManager attrManager, std::shared_ptr<FileQueueManager> queueManager,
    std::shared_ptr<MessageWindow> messageWindow, std::shared_ptr<ZVFileManager> zvFileManager) {
  return std::shared_ptr<FileProcessController>(new FileProcessController(
      attrManager, std::move(queueManager), std::move(messageWindow), std::move(zvFileManager)));
}

FileProcessController::FileProcessController(AttrManager attrManager,
                                             std::shared_ptr<FileQueueManager> queueManager,
                                             std::shared_ptr<MessageWindow> messageWindow,
                                             std::shared_ptr<ZVFileManager> zvFileManager)
    : attrManager_(attrManager),
      queueManager_(std::move(queueManager)),
      messageWindow_(std::move(messageWindow)),
      zvFileManager_(std::move(zvFileManager)) {}

FileProcessController::~FileProcessController() { closeWindow(); }

void FileProcessController::closeWindow() {
  if (!messageWindow_) return;
  messageWindow_->close();
  messageWindow_.reset();
}

bool FileProcessController::busy() const {
  return aggregating_ > 0 || batchRunning_ || errorShown_ != 0;
}

void FileProcessController::finishIfIdle() {
  if (busy()) return;
  closeWindow();
  // The requests are told after the controller's own work is done; one of them may let the
  // controller go, which the caller's strong reference keeps from happening before this returns.
  auto completions = std::move(waiting_);
  waiting_.clear();
  for (auto& done : completions) done();
}

void FileProcessController::bringFilesOnline(const std::vector<std::string>& paths,
                                             std::function<void()> completion) {
  const uint64_t request = ++requestCount_;
  ++aggregating_;
  // A newer request takes the window over from an error text.
  errorShown_ = 0;
  std::weak_ptr<FileProcessController> weak = weak_from_this();
  QString textBefore;
  if (messageWindow_) {
    textBefore = messageWindow_->text();
    messageWindow_->makeKeyAndOrderFront();
    messageWindow_->setMainButton([weak] {
      if (auto self = weak.lock()) self->userMessageCancelAction();
    });
    messageWindow_->setSecondaryButton([weak] {
      if (auto self = weak.lock()) self->userMessageCloseAction();
    });
    messageWindow_->setText(QString::fromStdString(localizedString("preparing_files_for_download")));
  }
  const auto errorDelay = queueManager_->delays().error;
  zvFileManager_->fileAggregation(
      paths, [weak, request, textBefore, errorDelay, completion = std::move(completion)](
                 FileList urls, std::optional<ZVError> error) mutable {
        if (auto self = weak.lock()) {
          self->aggregated(request, std::move(urls), error, textBefore, std::move(completion));
          return;
        }
        // Released meanwhile: nothing is left to show, but a failed request is still told.
        if (error) dispatch::mainQueue()->asyncAfter(errorDelay, std::move(completion));
      });
}

void FileProcessController::aggregated(uint64_t request, FileList urls,
                                       const std::optional<ZVError>& error,
                                       const QString& textBefore, std::function<void()> completion) {
  --aggregating_;
  if (request <= canceledThrough_) {
    // Canceled while its selection was being expanded: none of its files is brought online.
    waiting_.push_back(std::move(completion));
    finishIfIdle();
    return;
  }
  if (!error) {
    streamFileQueue(std::move(urls), std::move(completion));
    return;
  }
  waiting_.push_back(std::move(completion));
  if (busy()) {
    // Other requests are at work: their batch and their window stay as they are, and this one
    // is told with them.
    CLOG(StringTag::Service, "Request left out of the running batch: " + error->localizedDescription);
    const bool newest = request == requestCount_;
    if (newest && messageWindow_ &&
        messageWindow_->text().toStdString() == localizedString("preparing_files_for_download")) {
      messageWindow_->setText(textBefore);
    }
    return;
  }
  if (messageWindow_) messageWindow_->setText(QString::fromStdString(error->localizedDescription));
  errorShown_ = request;
  std::weak_ptr<FileProcessController> weak = weak_from_this();
  dispatch::mainQueue()->asyncAfter(queueManager_->delays().error, [weak, request] {
    auto self = weak.lock();
    // A newer request has taken the window over; its end tells this one too.
    if (!self || self->errorShown_ != request) return;
    self->errorShown_ = 0;
    self->finishIfIdle();
  });
}

void FileProcessController::streamFileQueue(FileList urls,
                                            std::function<void()> completion) {
  if (messageWindow_) {
    // A new batch starts the ring afresh, also in a window that still shows the last summary.
    if (!queueManager_->isRunning()) messageWindow_->resetProgress();
    messageWindow_->setText(QString::fromStdString(localizedString("adding files to queue")));
  }
  waiting_.push_back(std::move(completion));
  batchRunning_ = true;
  std::weak_ptr<FileProcessController> weak = weak_from_this();
  queueManager_->streamFiles(
      std::move(urls),
      [weak](double progress) {
        if (auto self = weak.lock(); self && self->messageWindow_) {
          self->messageWindow_->updateProgress(progress);
        }
      },
      [weak](std::optional<std::string> summary, bool finished) {
        auto self = weak.lock();
        if (!self) return;
        if (!finished) {
          if (!self->messageWindow_) return;
          if (summary) self->messageWindow_->setText(QString::fromStdString(*summary));
          if (self->queueManager_->status().errorCount > 0) self->messageWindow_->markError();
          return;
        }
        self->batchRunning_ = false;
        self->finishIfIdle();
      });
}

void FileProcessController::userMessageCancelAction() {
  canceledThrough_ = requestCount_;
  queueManager_->cancel();
  closeWindow();
}

void FileProcessController::userMessageCloseAction() { closeWindow(); }
