// The service program: owns the core controller for the user's home, follows mounts and
// unmounts, shows the progress window of bring-online requests, and serves until SIGTERM or
// SIGINT. It has windows, so the main queue runs on Qt's event loop (offscreen without a
// display).
#include <cstdlib>

#include "DownloadFileProcess/FileProcessController.h"
#include "core/ExtensionHelper.h"
#include "core/ShellExtentionController.h"
#include "mounts/MountNotifier.h"
#include "paths/Paths.h"
#include "process/StopSignals.h"
#include "ui/Application.h"

namespace {

// What the extensions' requests reach in the application layer.
class ServiceRequests : public ExtensionRequestHandler {
 public:
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
};

std::string devicePath(const platform::mounts::MountNotifier::UserInfo& info) {
  const auto it = info.find("NSDevicePath");
  return it == info.end() ? std::string() : it->second;
}

}  // namespace

int main(int argc, char** argv) {
  platform::ui::Application app(argc, argv);
  // From here the main queue runs on the event loop, which a stop signal ends.
  platform::process::StopSignals stop(platform::dispatch::mainQueue(),
                                      [](int) { platform::ui::Application::quit(); });
  const auto dispatcher = RequestDispatcher::create(std::make_shared<ServiceRequests>());
  ExtensionHelper::setDispatcher(dispatcher);

  const std::string home = platform::paths::homeDirectory();
  ShellExtentionController* controller = createShellExtentionControllerClass(home.c_str());
  _startController(controller);

  using platform::mounts::MountNotifier;
  auto& mounts = MountNotifier::shared();
  mounts.subscribe(MountNotifier::Event::DidMount, [&](const MountNotifier::UserInfo& info) {
    const std::string path = devicePath(info);
    if (!path.empty()) _addMonitorPath(controller, path.c_str());
  });
  mounts.subscribe(MountNotifier::Event::DidUnmount, [&](const MountNotifier::UserInfo& info) {
    const std::string path = devicePath(info);
    if (!path.empty()) _delMonitorPath(controller, path.c_str());
  });

  const int status = app.exec();

  mounts.shutdown();
  ReleaseShellExtentionControllerClass(controller);
  // The bring-online controller and its window go before the application does.
  ExtensionHelper::setDispatcher(nullptr);
  dispatcher->dropFileProcessController();
  return status;
}
