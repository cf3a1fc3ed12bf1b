#include "ServiceRuntime.h"

#include <cstdlib>

#include "DownloadFileProcess/FileProcessController.h"
#include "core/ExtensionHelper.h"
#include "core/ShellExtentionController.h"
#include "mounts/MountNotifier.h"

namespace {

using platform::mounts::MountNotifier;

class ServiceRequests : public ExtensionRequestHandler {
 public:
  std::shared_ptr<BringFilesOnline> makeFileProcessController() override;
};

std::shared_ptr<BringFilesOnline> ServiceRequests::makeFileProcessController() {
  const auto bundle = platform::bundle::Bundle::main();
  // Without the window resource the requests are still carried out, without a window.
  MessageWindow::Settings settings;
  // The demo keeps pictures of the window in this folder.
  if (const char* folder = std::getenv("PELLORA_WINDOW_SNAPSHOTS")) settings.snapshotFolder = folder;
  auto window = bundle ? MessageWindow::loadFromNib(*bundle, settings) : nullptr;
  return FileProcessController::create(AttrManager(), FileQueueManager::create(), window,
                                       std::make_shared<ZVFileManager>());
}

std::string devicePath(const MountNotifier::UserInfo& info) {
  const auto it = info.find("NSDevicePath");
  return it == info.end() ? std::string() : it->second;
}

}  // namespace

ServiceRuntime::ServiceRuntime(const std::string& home) {
  PELLORA_DCHECK_SEQUENCE(mainThread_);
  ExtensionHelper::setDispatcher(RequestDispatcher::create(std::make_shared<ServiceRequests>()));
  controller_ = createShellExtentionControllerClass(home.c_str());
  // Deliveries come on the main queue, and unsubscribing there ends them: the controller is
  // still there whenever one runs.
  auto& mounts = MountNotifier::shared();
  ShellExtentionController* controller = controller_;
  didMount_ = mounts.subscribe(MountNotifier::Event::DidMount, [controller](const MountNotifier::UserInfo& info) {
    const std::string path = devicePath(info);
    if (!path.empty()) _addMonitorPath(controller, path.c_str());
  });
  didUnmount_ = mounts.subscribe(MountNotifier::Event::DidUnmount, [controller](const MountNotifier::UserInfo& info) {
    const std::string path = devicePath(info);
    if (!path.empty()) _delMonitorPath(controller, path.c_str());
  });
}

ServiceRuntime::~ServiceRuntime() {
  PELLORA_DCHECK_SEQUENCE(mainThread_);
  auto& mounts = MountNotifier::shared();
  mounts.unsubscribe(didMount_);
  mounts.unsubscribe(didUnmount_);
  // The bring-online controller and its window go while the application is still there.
  const auto dispatcher = ExtensionHelper::dispatcher();
  ExtensionHelper::setDispatcher(nullptr);
  dispatcher->dropFileProcessController();
  ReleaseShellExtentionControllerClass(controller_);
}

void ServiceRuntime::startController() {
  PELLORA_DCHECK_SEQUENCE(mainThread_);
  _startController(controller_);
}
