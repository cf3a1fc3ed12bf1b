// The service program: owns the core controller for the user's home, follows mounts and
// unmounts, and serves until SIGTERM or SIGINT.
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <poll.h>

#include "core/ShellExtentionController.h"
#include "dispatch/RunLoop.h"
#include "mounts/MountNotifier.h"
#include "paths/Paths.h"

int main() {
  // Signals become readable on a descriptor that the main loop watches.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  const int signals = ::signalfd(-1, &stopSignals, SFD_CLOEXEC | SFD_NONBLOCK);

  const std::string home = platform::paths::homeDirectory();
  ShellExtentionController* controller = createShellExtentionControllerClass(home.c_str());
  _startController(controller);

  using platform::mounts::MountNotifier;
  auto& mounts = MountNotifier::shared();
  auto devicePath = [](const MountNotifier::UserInfo& info) {
    const auto it = info.find("NSDevicePath");
    return it == info.end() ? std::string() : it->second;
  };
  mounts.subscribe(MountNotifier::Event::DidMount, [&](const MountNotifier::UserInfo& info) {
    const std::string path = devicePath(info);
    if (!path.empty()) _addMonitorPath(controller, path.c_str());
  });
  mounts.subscribe(MountNotifier::Event::DidUnmount, [&](const MountNotifier::UserInfo& info) {
    const std::string path = devicePath(info);
    if (!path.empty()) _delMonitorPath(controller, path.c_str());
  });

  auto loop = platform::dispatch::RunLoop::main();
  loop->addWatch(signals, POLLIN, [&](short) { loop->stop(); });
  loop->run();

  mounts.shutdown();
  ReleaseShellExtentionControllerClass(controller);
  ::close(signals);
  return 0;
}
