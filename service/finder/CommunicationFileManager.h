// The service's side of the preview choice: watches the communication folder, re-reads the
// choice in the communication file whenever the folder is written, keeps the resulting preview
// state (off until the file says otherwise), and applies it through Finder scripting to each
// gateway folder the user opens. Also keeps the list of mounted gateway share roots for the
// share monitoring.
//
// Threads: the change handler runs on a global queue; scripting runs on the main queue;
// mountRootURLs, startObserving, remove and cancelFileMonitor belong to the main thread.
// setPreview and cancelScript may be called from any thread.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "ZVFileManager.h"
#include "dispatch/SequenceChecker.h"
#include "finder/FinderScriptManager.h"

namespace platform::dispatch {
class VnodeSource;
}

class CommunicationFileManager : public FinderScriptManagerDelegate,
                                 public std::enable_shared_from_this<CommunicationFileManager> {
 public:
  static constexpr int kStateOff = 0;
  static constexpr int kStateOn = FinderScriptManager::kStateOn;

  // init(zvFileManager:): this object becomes the delegate of its FinderScriptManager.
  static std::shared_ptr<CommunicationFileManager> create(
      std::shared_ptr<ZVFileManager> zvFileManager,
      std::shared_ptr<FinderScriptManager> finderScriptManager = FinderScriptManager::manager());
  // Stops watching and closes the folder's descriptor.
  ~CommunicationFileManager() override;
  CommunicationFileManager(const CommunicationFileManager&) = delete;
  CommunicationFileManager& operator=(const CommunicationFileManager&) = delete;

  // Starts watching the folder at url for writes (a second call replaces the first watch).
  void startObserving(const std::string& url);
  // Posts to the main queue the scripting of the folder at url with the preview state as it is
  // when the scripting runs. Only that folder, not those below it.
  void setPreview(const std::string& url);
  // Removes every root whose path is mountURL's.
  void remove(const std::string& mountURL);
  // Cancels a walk of the FinderScriptManager.
  void cancelScript();
  // The scripting texts are of no use to the service.
  void finderScriptManagerDelegateUpdateMessage(const std::string& message) override;
  // The owner's teardown: no change handler starts afterwards.
  void cancelFileMonitor();

  // The file URLs (paths) of the mounted gateway share roots.
  std::vector<std::string>& mountRootURLs();
  int finderPreviewState() const { return finderPreviewState_; }
  int fileDesc() const { return fileDesc_; }
  const std::shared_ptr<FinderScriptManager>& finderScriptManager() const {
    return finderScriptManager_;
  }

 private:
  CommunicationFileManager(std::shared_ptr<ZVFileManager> zvFileManager,
                           std::shared_ptr<FinderScriptManager> finderScriptManager);
  // One write event on the communication folder.
  void fileChanged();

  std::vector<std::string> mountRootURLs_;
  int fileDesc_ = 0;
  std::unique_ptr<platform::dispatch::VnodeSource> fileMonitor_;
  const std::shared_ptr<ZVFileManager> zvFileManager_;
  const std::shared_ptr<FinderScriptManager> finderScriptManager_;
  std::atomic<int> finderPreviewState_{kStateOff};
  platform::dispatch::SequenceChecker mainSequence_;
};
