// Zavro Pellora, the main application: the status window with the enable switch, and the
// software updates. Started without arguments by the user (a second start reopens the running
// copy), and with "checkVersion" by the service every twelve hours for one update cycle
// without a window.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>
#include <string>

#include "AppDelegate.h"
#include "ReopenChannel.h"
#include "ServiceEnableHandler.h"
#include "dispatch/Queue.h"
#include "process/StandardOptions.h"
#include "process/StopSignals.h"
#include "ui/Application.h"
#include "workspace/Workspace.h"

namespace {

constexpr const char* kUsage =
    "usage: Zavro Pellora [checkVersion]\n"
    "\n"
    "Shows the status window of Zavro Pellora: the enable switch, the preview choice and\n"
    "what keeps Pellora from working, with a fix for each. Started again while it runs, it\n"
    "brings the running window forward.\n"
    "\n"
    "  checkVersion   run one software-update check without a window, then quit\n"
    "  --version      print the version\n"
    "  --help         print this text\n"
    "\n"
    "Environment: PELLORA_WINDOW_SNAPSHOTS names a folder that gets a picture of the\n"
    "status window each time it is shown and each time its list of problems changes.\n";

}  // namespace

int main(int argc, char** argv) {
  const std::string version = platform::workspace::bundleVersionLine("Zavro Pellora", PELLORA_VERSION);
  if (const auto status = platform::process::answerStandardOptions(argc, argv, kUsage, version)) return *status;
  const bool checker = argc >= 2 && std::strcmp(argv[1], kCheckVersionArgument) == 0;
  const std::string socket = ReopenChannel::socketPath(ServiceEnableHandler::homeDirectory());
  // A version check runs beside an open window; an ordinary start hands itself to it.
  if (!checker && ReopenChannel::sendReopen(socket)) return 0;

  platform::ui::Application application(argc, argv);
  std::unique_ptr<ReopenChannel> reopen;
  AppDelegate::Settings settings;
  if (const char* folder = std::getenv("PELLORA_WINDOW_SNAPSHOTS")) settings.snapshotFolder = folder;
  settings.beforeRelaunch = [&reopen] { reopen.reset(); };
  auto delegate = std::make_shared<AppDelegate>(std::move(settings));
  const std::weak_ptr<AppDelegate> weak = delegate;
  if (!checker) {
    reopen = ReopenChannel::listen(socket, [weak] {
      const auto self = weak.lock();
      if (!self) return;
      const auto& controller = self->windowController();
      self->applicationShouldHandleReopen(controller && controller->window()->isVisible());
    });
  }
  platform::process::StopSignals stop(platform::dispatch::mainQueue(), [weak](int) {
    if (const auto self = weak.lock()) self->terminate();
  });
  platform::dispatch::mainQueue()->async([delegate] { delegate->applicationDidFinishLaunching(); });
  application.exec();

  reopen.reset();
  // The updater stops its work and waits for it here, on the main thread.
  delegate.reset();
  // Static destructors must not run while threads of the platform may still work.
  std::fflush(nullptr);
  ::_exit(0);
}
