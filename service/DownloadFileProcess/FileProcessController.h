// Carries out bring-online requests: expands the selection into files, feeds them to the
// download queue and keeps the progress window current until the batch is over. Main thread.
//
// Requests that arrive while earlier ones are still at work share the window and the batch,
// and every request is told it is over only when the controller has nothing left to do: the
// dispatcher lets the controller go when its newest request is told, so no request may be told
// while an earlier one still depends on the controller.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
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

  // completion runs once, on the main queue, when the work of this request and of every request
  // still at work beside it is over: the batch its files joined has finished, it was canceled,
  // or its selection could not be read (then after the queue's error delay, unless it joined
  // work in progress, which it leaves alone).
  void bringFilesOnline(const std::vector<std::string>& paths,
                        std::function<void()> completion) override;

  // The window's buttons. Cancel holds for the files of every request made before it, also
  // those whose selection is still being expanded.
  void userMessageCancelAction();
  void userMessageCloseAction();

  void setMessageWindow(std::shared_ptr<MessageWindow> window) { messageWindow_ = std::move(window); }
  const std::shared_ptr<MessageWindow>& messageWindow() const { return messageWindow_; }
  const std::shared_ptr<FileQueueManager>& queueManager() const { return queueManager_; }

 private:
  FileProcessController(AttrManager attrManager, std::shared_ptr<FileQueueManager> queueManager,
                        std::shared_ptr<MessageWindow> messageWindow,
                        std::shared_ptr<ZVFileManager> zvFileManager);
  void aggregated(uint64_t request, FileList urls,
                  const std::optional<ZVError>& error, const QString& textBefore,
                  std::function<void()> completion);
  void streamFileQueue(FileList urls, std::function<void()> completion);
  // True while a selection is being expanded, a batch has not finished or an error is on show.
  bool busy() const;
  // Closes the window and tells every waiting request, once nothing is left to do.
  void finishIfIdle();
  void closeWindow();

  AttrManager attrManager_;
  std::shared_ptr<FileQueueManager> queueManager_;
  std::shared_ptr<MessageWindow> messageWindow_;
  std::shared_ptr<ZVFileManager> zvFileManager_;
  // Requests are numbered from 1 as they arrive; those up to canceledThrough_ were canceled.
  uint64_t requestCount_ = 0;
  uint64_t canceledThrough_ = 0;
  int aggregating_ = 0;
  bool batchRunning_ = false;
  // The request whose aggregation error the window shows, 0 for none.
  uint64_t errorShown_ = 0;
  // The requests that are over but not told yet.
  std::vector<std::function<void()>> waiting_;
};
