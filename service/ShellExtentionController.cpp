#include "ShellExtentionController.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>

#include "AttrManager.h"
#include "CLog.h"
#include "DownloadFileProcess/FileProcessController.h"
#include "bundle/Bundle.h"
#include "ServiceStatusFile.h"
#include "core/ExtensionHelper.h"
#include "core/ShellExtentionController.h"
#include "dispatch/Queue.h"
#include "mounts/Mounts.h"

namespace service {
namespace {

using platform::mounts::MountNotifier;

std::string devicePath(const MountNotifier::UserInfo& info) {
  const auto it = info.find("NSDevicePath");
  return it == info.end() ? std::string() : it->second;
}

// What the extensions' requests reach. It holds the owner weakly: requests that come while
// the service ends find nobody and are dropped.
class ServiceRequests final : public ExtensionRequestHandler {
 public:
  explicit ServiceRequests(std::weak_ptr<ShellExtentionController> owner)
      : extensionController(std::move(owner)) {}

  std::shared_ptr<BringFilesOnline> makeFileProcessController() override {
    const auto bundle = platform::bundle::Bundle::main();
    MessageWindow::Settings settings;
    // The demo keeps pictures of the window in this folder.
    if (const char* folder = std::getenv("PELLORA_WINDOW_SNAPSHOTS")) settings.snapshotFolder = folder;
    // Without the window resource the requests are still carried out, without a window.
    auto window = bundle ? MessageWindow::loadFromNib(*bundle, settings) : nullptr;
    return FileProcessController::create(AttrManager(), FileQueueManager::create(), window,
                                         std::make_shared<ZVFileManager>());
  }

  // Called on the connection's thread. The owner is taken up on the main queue only: held
  // here while the service ends, it would be destroyed on this thread, whose server it joins.
  void openedDir(const std::string& folderPath) override {
    platform::dispatch::mainQueue()->async([owner = extensionController, folderPath] {
      if (const auto self = owner.lock()) self->commFileManager()->setPreview(folderPath);
    });
  }

  void networkAccess(const std::string& state) override { PermissionStatus::extensionReported(state); }

 private:
  const std::weak_ptr<ShellExtentionController> extensionController;
};

class DispatcherActivity final : public ServiceActivity {
 public:
  bool isIdle() override { return ExtensionHelper::isIdle(); }
};

}  // namespace

std::shared_ptr<ShellExtentionController> ShellExtentionController::create(const std::string& home) {
  std::shared_ptr<ShellExtentionController> owner(new ShellExtentionController());
  owner->init(home);
  return owner;
}

void ShellExtentionController::init(const std::string& home) {
  PELLORA_DCHECK_SEQUENCE(mainThread_);
  zvFileManager_ = std::make_shared<ZVFileManager>();
  CLOG(StringTag::Service, "Service init");
  commFileManager_ = CommunicationFileManager::create(zvFileManager_);
  mShellExController = createShellExtentionControllerClass(home.c_str());
  home_ = home;
  if (const auto bundle = platform::bundle::Bundle::main()) {
    version_ = bundle->infoString("CFBundleShortVersionString").value_or("");
    build_ = bundle->infoString("CFBundleVersion").value_or("");
  }

  auto& mounts = MountNotifier::shared();
  const std::weak_ptr<ShellExtentionController> weak = weak_from_this();
  // Changes come from the core's threads, often several at once: one write on the main queue
  // takes all that came before it.
  mShellExController->setStatusObserver([weak, queued = std::make_shared<std::atomic<bool>>(false)] {
    if (queued->exchange(true)) return;
    platform::dispatch::mainQueue()->async([weak, queued] {
      queued->store(false);
      if (const auto self = weak.lock()) self->publishStatus();
    });
  });
  didMountSubscription_ = mounts.subscribe(MountNotifier::Event::DidMount, [weak](const UserInfo& info) {
    if (const auto self = weak.lock()) self->didMount(info);
  });
  didUnmountSubscription_ = mounts.subscribe(MountNotifier::Event::DidUnmount, [weak](const UserInfo& info) {
    if (const auto self = weak.lock()) self->didUnMount(info);
  });

  const auto communicationDir = ZVFileManager().communicationDir();
  if (!communicationDir) {
    CLOG(StringTag::Service, "Could not get communication directory");
  } else {
    commFileManager_->startObserving(*communicationDir);
  }

  const AttrManager attrs;
  for (const auto& url : platform::mounts::mountedVolumeURLs()) {
    if (attrs.isZavroMount(url)) commFileManager_->mountRootURLs().push_back(url);
  }

  ExtensionHelper::setDispatcher(RequestDispatcher::create(std::make_shared<ServiceRequests>(weak)));
  PermissionStatus::setDelegate(weak);
  PermissionStatus::setServiceActivity(std::make_shared<DispatcherActivity>());
  PermissionStatus::start();
}

ShellExtentionController::~ShellExtentionController() {
  PELLORA_DCHECK_SEQUENCE(mainThread_);
  auto& mounts = MountNotifier::shared();
  mounts.unsubscribe(didMountSubscription_);
  mounts.unsubscribe(didUnmountSubscription_);
  // The bring-online controller and its window go while the application is still there.
  if (const auto dispatcher = ExtensionHelper::dispatcher()) {
    ExtensionHelper::setDispatcher(nullptr);
    dispatcher->dropFileProcessController();
  }
  ReleaseShellExtentionControllerClass(mShellExController);
  if (commFileManager_) commFileManager_->cancelFileMonitor();
  ServiceStatusFile(home_).removeIfWrittenBy(::getpid());
}

void ShellExtentionController::startController() {
  PELLORA_DCHECK_SEQUENCE(mainThread_);
  _startController(mShellExController);
  publishStatus();
}

void ShellExtentionController::publishStatus() {
  PELLORA_DCHECK_SEQUENCE(mainThread_);
  if (!mShellExController) return;
  ServiceStatus status;
  status.pid = ::getpid();
  status.version = version_;
  status.build = build_;
  status.shares = mShellExController->watchedPaths();
  status.extensionConnections = static_cast<int64_t>(mShellExController->connectedExtensionCount());
  const ServiceStatusFile file(home_);
  if (!file.write(status)) CLOG(StringTag::Service, "Could not write the status file " + file.path());
}

void ShellExtentionController::didMount(const UserInfo& info) {
  PELLORA_DCHECK_SEQUENCE(mainThread_);
  const std::string path = devicePath(info);
  if (!path.empty()) {
    _addMonitorPath(mShellExController, path.c_str());
    if (AttrManager().isZavroMount(path)) commFileManager_->mountRootURLs().push_back(path);
  }
  PermissionStatus::refresh();
}

void ShellExtentionController::didUnMount(const UserInfo& info) {
  PELLORA_DCHECK_SEQUENCE(mainThread_);
  const std::string path = devicePath(info);
  if (!path.empty()) {
    _delMonitorPath(mShellExController, path.c_str());
    commFileManager_->remove(path);
  }
  PermissionStatus::refresh();
}

void ShellExtentionController::monitorAllowedShares(const std::vector<std::string>& paths) {
  PELLORA_DCHECK_SEQUENCE(mainThread_);
  auto& roots = commFileManager_->mountRootURLs();
  for (const auto& path : paths) {
    if (std::find(roots.begin(), roots.end(), path) != roots.end()) continue;
    _addMonitorPath(mShellExController, path.c_str());
    // Kept even when the core refuses it for want of the share marker.
    roots.push_back(path);
  }
}

void ShellExtentionController::refreshShares(const std::vector<std::string>& paths) {
  PELLORA_DCHECK_SEQUENCE(mainThread_);
  std::string joined;
  for (const auto& path : paths) joined += (joined.empty() ? "" : ", ") + path;
  CLOG(StringTag::Service, "Readable again: " + joined);
  const auto& roots = commFileManager_->mountRootURLs();
  const bool anyKnown = std::any_of(paths.begin(), paths.end(), [&](const std::string& path) {
    return std::find(roots.begin(), roots.end(), path) != roots.end();
  });
  monitorAllowedShares(paths);
  if (anyKnown) _refreshFilterPaths(mShellExController);
}

}  // namespace service
