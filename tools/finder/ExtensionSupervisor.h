// Keeps the extension processes in line with the plug-in registry: every registered extension
// that is switched on runs, one switched off (or unregistered) is stopped (SIGTERM, SIGKILL
// after a deadline), one that dies is started again after a delay that grows while it keeps
// dying young. Follows the registry through a watch on its folder, with a slow poll behind it.
// Lives on the main thread, as Finder does.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "dispatch/RunLoop.h"
#include "plugins/PluginRegistry.h"

namespace platform::dispatch {
class VnodeSource;
}

namespace pellora::finder {

class Finder;

class ExtensionSupervisor {
 public:
  using Clock = platform::dispatch::Clock;
  struct Options {
    std::string registryFile;  // empty: the registry's default file
    Clock::duration relaunchDelay = std::chrono::seconds(1);
    Clock::duration maxRelaunchDelay = std::chrono::seconds(30);
    // An extension that ends sooner than this after its start died young.
    Clock::duration youngDeath = std::chrono::seconds(10);
    Clock::duration stopTimeout = std::chrono::seconds(3);
    Clock::duration pollInterval = std::chrono::seconds(2);
  };
  struct Entry {
    platform::plugins::Plugin plugin;
    pid_t pid = 0;  // 0: not running
  };

  ExtensionSupervisor(Finder& finder, Options options);
  // Stops every extension (as stopAll()).
  ~ExtensionSupervisor();
  ExtensionSupervisor(const ExtensionSupervisor&) = delete;
  ExtensionSupervisor& operator=(const ExtensionSupervisor&) = delete;

  // Starts following the registry.
  void start();
  // Reads the registry now and starts or stops extensions to match.
  void reconcile();
  // The registered extensions with their processes.
  std::vector<Entry> extensions() const;
  // Stops every extension and waits for them (SIGKILL for those still there at the deadline).
  // Nothing is started again afterwards.
  void stopAll();

 private:
  struct Running;

  void launch(const platform::plugins::Plugin& plugin);
  void stop(Running& r);
  void ended(const std::string& identifier);
  void scheduleRelaunch(const std::string& identifier, bool young);

  Finder& finder_;
  Options options_;
  platform::plugins::PluginRegistry registry_;
  std::shared_ptr<platform::dispatch::RunLoop> loop_;
  std::unique_ptr<platform::dispatch::VnodeSource> watch_;
  platform::dispatch::RunLoop::TimerId poll_ = 0;
  std::map<std::string, std::unique_ptr<Running>> running_;
  std::map<std::string, platform::dispatch::RunLoop::TimerId> relaunches_;
  // Delay before the next start of an extension that keeps dying young.
  std::map<std::string, Clock::duration> backoff_;
  bool stopped_ = false;
};

}  // namespace pellora::finder
