// The service program: the application loop and its delegate, which decides at start-up
// whether this copy runs, waits or ends, and starts the service's work. It has windows, so
// the main queue runs on Qt's event loop (offscreen without a display). SIGTERM and SIGINT end
// the loop, and the process ends through the delegate's termination.
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "AppDelegate.h"
#include "ServiceEnableHandler.h"
#include "ShellExtentionController.h"
#include "process/StopSignals.h"
#include "ui/Application.h"
#include "workspace/Workspace.h"

namespace {

void printVersion() {
  const auto info = platform::workspace::mainBundleInfo();
  std::printf("Zavro Pellora Service %s (%s)\n", info && info->shortVersion ? info->shortVersion->c_str() : "unknown",
              info && info->version ? info->version->c_str() : "0");
}

void printUsage(const char* program) {
  std::printf(
      "Usage: %s [%s]\n"
      "The background service of Zavro Pellora. It runs from the application's bundle, at\n"
      "most one copy per user; the application starts it with %s, and the login-item service\n"
      "at login.\n"
      "  --help     print this text and exit\n"
      "  --version  print the version and exit\n",
      program, kFromAppArgument, kFromAppArgument);
}

}  // namespace

int main(int argc, char** argv) {
  // These answer and end before anything of the service starts.
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      printUsage(argv[0]);
      return 0;
    }
    if (std::strcmp(argv[i], "--version") == 0) {
      printVersion();
      return 0;
    }
  }

  platform::ui::Application app(argc, argv);
  platform::process::StopSignals stop(platform::dispatch::mainQueue(),
                                      [](int) { platform::ui::Application::quit(); });
  const auto delegate = AppDelegate::create(
      [] { return service::ShellExtentionController::create(ServiceEnableHandler::homeDirectory()); });
  const int status = app.exec();
  delegate->applicationWillTerminate();
  // Threads of the service (a standby wait among them) may still run: no static destructors.
  std::fflush(nullptr);
  ::_exit(status);
}
