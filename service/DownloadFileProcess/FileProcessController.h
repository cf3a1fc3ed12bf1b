// Carries out bring-online requests: expands the selection into files, feeds them to the
// download queue and keeps the progress window current until the batch is over. Main thread.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "AttrManager.h"
#include "DownloadFileProcess/FileQueueManager.h"
#include "DownloadFileProcess/MessageWindow.h"
#include "ZVFileManager.h"
#include "core/ExtensionHelper.h"

class FileProcessController : public BringFilesOnline,
                              public std::enable_shared_from_this<FileProcessController> {
 public:
  static std::shared_ptr<FileProcessController> create(AttrManager attrManager,
                                                       std::shared_ptr<FileQueueManager> queueManager,
                                                       std::shared_ptr<MessageWindow> messageWindow,
                                                       std::shared_ptr<ZVFileManager> zvFileManager);
  ~FileProcessController() override;

  // completion runs once, on the main queue, when the batch these files joined is over (or 10
  // seconds after the selection could not be read).
  void bringFilesOnline(const std::vector<std::string>& paths,
                        std::function<void()> completion) override;

  // The window's buttons.
  void userMessageCancelAction();
  void userMessageCloseAction();

  void setMessageWindow(std::shared_ptr<MessageWindow> window) { messageWindow_ = std::move(window); }
  const std::shared_ptr<MessageWindow>& messageWindow() const { return messageWindow_; }
  const std::shared_ptr<FileQueueManager>& queueManager() const { return queueManager_; }

 private:
  FileProcessController(AttrManager attrManager, std::shared_ptr<FileQueueManager> queueManager,
                        std::shared_ptr<MessageWindow> messageWindow,
                        std::shared_ptr<ZVFileManager> zvFileManager);
  void streamFileQueue(const std::vector<std::string>& urls, std::function<void()> completion);
  void closeWindow();

  AttrManager attrManager_;
  std::shared_ptr<FileQueueManager> queueManager_;
  std::shared_ptr<MessageWindow> messageWindow_;
  std::shared_ptr<ZVFileManager> zvFileManager_;
  // The requests whose files are in the running batch; each is told once when it ends.
  std::vector<std::function<void()>> batchCompletions_;
};
