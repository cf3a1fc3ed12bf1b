#include "DownloadFileProcess/FileProcessController.h"

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

void FileProcessController::bringFilesOnline(const std::vector<std::string>& paths,
                                             std::function<void()> completion) {
  std::weak_ptr<FileProcessController> weak = weak_from_this();
  if (messageWindow_) {
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
  zvFileManager_->fileAggregation(paths, [weak, completion, errorDelay](
                                             std::vector<std::string> urls, std::optional<ZVError> error) {
    if (error) {
      if (auto self = weak.lock(); self && self->messageWindow_) {
        self->messageWindow_->setText(QString::fromStdString(error->localizedDescription));
      }
      dispatch::mainQueue()->asyncAfter(errorDelay, [weak, completion] {
        if (auto self = weak.lock()) self->closeWindow();
        completion();
      });
      return;
    }
    if (auto self = weak.lock()) self->streamFileQueue(urls, completion);
  });
}

void FileProcessController::streamFileQueue(const std::vector<std::string>& urls,
                                            std::function<void()> completion) {
  if (messageWindow_) {
    messageWindow_->setText(QString::fromStdString(localizedString("adding files to queue")));
  }
  batchCompletions_.push_back(std::move(completion));
  std::weak_ptr<FileProcessController> weak = weak_from_this();
  queueManager_->streamFiles(
      urls,
      [weak](double progress) {
        if (auto self = weak.lock(); self && self->messageWindow_) {
          self->messageWindow_->updateProgress(progress);
        }
      },
      [weak](std::optional<std::string> summary, bool finished) {
        auto self = weak.lock();
        if (!self) return;
        if (!finished) {
          if (summary && self->messageWindow_) {
            self->messageWindow_->setText(QString::fromStdString(*summary));
          }
          return;
        }
        self->closeWindow();
        // The requests are told after the controller's own work is done; one of them may let
        // the controller go, which `self` keeps from happening before this returns.
        auto completions = std::move(self->batchCompletions_);
        self->batchCompletions_.clear();
        for (auto& done : completions) done();
      });
}

void FileProcessController::userMessageCancelAction() {
  queueManager_->cancel();
  closeWindow();
}

void FileProcessController::userMessageCloseAction() { closeWindow(); }
