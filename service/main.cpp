// The service program: the application loop and its delegate, which decides at start-up
// whether this copy runs, waits or ends, and starts the service's work. It has windows, so
// the main queue runs on Qt's event loop (offscreen without a display). SIGTERM and SIGINT end
// the loop, and the process ends through the delegate's termination.
#include <unistd.h>

#include <cstdio>
#include <string>

#include "AppDelegate.h"
#include "CLog.h"
#include "ServiceEnableHandler.h"
#include "ShellExtentionController.h"
#include "process/StandardOptions.h"
#include "process/StopSignals.h"
#include "text/Format.h"
#include "ui/Application.h"
#include "workspace/Workspace.h"

namespace {

std::string usage(const char* program) {
  return platform::text::format(
      "Usage: %@ [%@]\n"
      "The background service of Zavro Pellora. It runs from the application's bundle, at\n"
      "most one copy per user; the application starts it with %@, and the login-item service\n"
      "at login.\n"
      "  --help     print this text and exit\n"
      "  --version  print the version and exit\n",
      {program, kFromAppArgument, kFromAppArgument});
}

// Logged, since otherwise a copy stopped from outside ends without a word.
void quitOnSignal(int signal) {
  CLOG(StringTag::Service, "Signal " + std::to_string(signal) + " - service quitting");
  platform::ui::Application::quit();
}

}  // namespace

int main(int argc, char** argv) {
  // These answer and end before anything of the service starts.
  const std::string version = platform::workspace::bundleVersionLine("Zavro Pellora Service", PELLORA_VERSION);
  if (const auto status = platform::process::answerStandardOptions(argc, argv, usage(argv[0]), version)) return *status;

  platform::ui::Application app(argc, argv);
  platform::process::StopSignals stop(platform::dispatch::mainQueue(), quitOnSignal);
  const auto delegate = AppDelegate::create(
      [] { return service::ShellExtentionController::create(ServiceEnableHandler::homeDirectory()); });
  const int status = app.exec();
  delegate->applicationWillTerminate();
  // Threads of the service (a standby wait among them) may still run: no static destructors.
  std::fflush(nullptr);
  ::_exit(status);
}
