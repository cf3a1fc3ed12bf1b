// The main application's side of the enable switch, until the application itself exists:
// writes the enable key and applies it through the enable handler, as the status window's
// switch does, acting as the application bundle it is given.
//   enable-switch APP on    the key on; starts the service from APP with "--from-app" and
//                           registers its login item (a copy that runs already is left
//                           as it is); exit status 0 when a service copy holds the lock
//   enable-switch APP off   the key off; the extension off, every service copy stopped
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>

#include "ServiceEnableHandler.h"
#include "dispatch/RunLoop.h"

int main(int argc, char** argv) {
  const std::string mode = argc == 3 ? argv[2] : "";
  if (mode != "on" && mode != "off") {
    std::fprintf(stderr, "usage: enable-switch APP on|off\n");
    return 64;
  }
  ServiceEnableHandler::Environment environment;
  environment.mainBundlePath = argv[1];
  environment.arguments = std::vector<std::string>{argv[1]};
  ServiceEnableHandler::setEnvironment(environment);

  const bool on = mode == "on";
  ServiceEnableHandler::updateUserDefaults(on);
  std::atomic<bool> done{false};
  ServiceEnableHandler::handleEnabled(false, [&] { done = true; });
  // The handler finishes on the main queue, which this loop serves.
  const auto loop = platform::dispatch::RunLoop::main();
  if (!loop->runUntil([&] { return done.load(); }, std::chrono::seconds(30))) {
    std::fprintf(stderr, "enable-switch: the enable handler did not finish\n");
    return 1;
  }
  if (!on) return 0;
  if (ServiceEnableHandler::appCopyHoldsLock) std::printf("the service copy just started holds the lock\n");
  return ServiceEnableHandler::isServiceLockHeld() ? 0 : 1;
}
