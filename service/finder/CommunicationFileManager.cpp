#include "finder/CommunicationFileManager.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>

#include "CLog.h"
#include "dispatch/Queue.h"
#include "dispatch/VnodeSource.h"
#include "finderscript/FinderApplication.h"

namespace dispatch = platform::dispatch;

namespace {

// A path as a URL's path reads: without trailing slashes ("/" stays).
std::string pathOf(const std::string& url) {
  std::string path = platform::finderscript::pathOfURL(url);
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

}  // namespace

std::shared_ptr<CommunicationFileManager> CommunicationFileManager::create(
    std::shared_ptr<ZVFileManager> zvFileManager,
    std::shared_ptr<FinderScriptManager> finderScriptManager) {
  std::shared_ptr<CommunicationFileManager> manager(
      new CommunicationFileManager(std::move(zvFileManager), std::move(finderScriptManager)));
  manager->finderScriptManager_->setDelegate(manager);
  return manager;
}

CommunicationFileManager::CommunicationFileManager(
    std::shared_ptr<ZVFileManager> zvFileManager,
    std::shared_ptr<FinderScriptManager> finderScriptManager)
    : zvFileManager_(std::move(zvFileManager)),
      finderScriptManager_(std::move(finderScriptManager)) {}

CommunicationFileManager::~CommunicationFileManager() {
  if (fileMonitor_) fileMonitor_->cancel();
  if (fileDesc_ > 0) ::close(fileDesc_);
}

std::vector<std::string>& CommunicationFileManager::mountRootURLs() {
  PELLORA_DCHECK_SEQUENCE(mainSequence_);
  return mountRootURLs_;
}

void CommunicationFileManager::startObserving(const std::string& url) {
  PELLORA_DCHECK_SEQUENCE(mainSequence_);
  const std::string path = pathOf(url);
  CLOG(StringTag::Service, "Start observing " + path);
  cancelFileMonitor();
  if (fileDesc_ > 0) ::close(fileDesc_);
  // A descriptor for watching only, not for reading; the watch is on the folder it opened.
  fileDesc_ = ::open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  std::weak_ptr<CommunicationFileManager> weak = weak_from_this();
  fileMonitor_ = std::make_unique<dispatch::VnodeSource>(
      "/proc/self/fd/" + std::to_string(fileDesc_), dispatch::globalQueue(),
      [weak](uint32_t flags) {
        if (!(flags & dispatch::VnodeSource::kWrite)) return;
        CLOG(StringTag::Service, "FileChangeEvent");
        if (const auto self = weak.lock()) self->fileChanged();
      });
  fileMonitor_->resume();
}

void CommunicationFileManager::fileChanged() {
  // The source never runs its handler twice at once, so the file manager has one user here.
  const auto enabled = zvFileManager_->previewStateEnabled();
  if (!enabled) return;
  CLOG(StringTag::Service,
       std::string("Preview stated enabled updated to ") + (*enabled ? "true" : "false"));
  finderPreviewState_ = *enabled ? kStateOn : kStateOff;
}

void CommunicationFileManager::setPreview(const std::string& url) {
  dispatch::mainQueue()->async(
      dispatch::weakly(shared_from_this(), [url](CommunicationFileManager& self) {
        self.finderScriptManager_->turnPreviewStateForDirURL(self.finderPreviewState_, url);
      }));
}

void CommunicationFileManager::remove(const std::string& mountURL) {
  PELLORA_DCHECK_SEQUENCE(mainSequence_);
  const std::string path = pathOf(mountURL);
  std::erase_if(mountRootURLs_, [&](const std::string& root) { return pathOf(root) == path; });
}

void CommunicationFileManager::cancelScript() { finderScriptManager_->cancel(); }

void CommunicationFileManager::finderScriptManagerDelegateUpdateMessage(const std::string&) {}

void CommunicationFileManager::cancelFileMonitor() {
  PELLORA_DCHECK_SEQUENCE(mainSequence_);
  if (fileMonitor_) fileMonitor_->cancel();
}
