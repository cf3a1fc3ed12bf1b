// Keeps the extension processes of a host in line with the plug-in registry: every registered
// extension that is switched on runs and is connected to the host; one switched off (or
// unregistered) is stopped (SIGTERM and its connection closed, SIGKILL after a deadline); one
// that dies is started again after a delay that doubles while it keeps dying young. Follows the
// registry through an inotify watch on its folder, with a slow poll behind it. Lives on the
// host loop's thread.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "HostLoop.h"
#include "dispatch/SequenceChecker.h"
#include "plugins/PluginRegistry.h"

namespace pellora::host {

class ExtensionHost;

class ExtensionSupervisor {
 public:
  using Clock = HostLoop::Clock;
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

  ExtensionSupervisor(HostLoop& loop, ExtensionHost& host, Options options);
  // Stops every extension (as stopAll()).
  ~ExtensionSupervisor();
  ExtensionSupervisor(const ExtensionSupervisor&) = delete;
  ExtensionSupervisor& operator=(const ExtensionSupervisor&) = delete;

  // Starts following the registry.
  void start();
  // Reads the registry now and starts or stops extensions to match.
  void reconcile();
  std::vector<Entry> extensions() const;
  // Stops every extension and waits for them, SIGKILL for those still there at the deadline.
  // Nothing is started again afterwards.
  void stopAll();

 private:
  struct Running;

  void launch(const platform::plugins::Plugin& plugin);
  void stop(Running& r);
  void ended(const std::string& identifier);
  void scheduleRelaunch(const std::string& identifier, bool young);
  void watchRegistry();
  void stopWatching();

  HostLoop& loop_;
  ExtensionHost& host_;
  Options options_;
  platform::dispatch::SequenceChecker sequence_;
  platform::plugins::PluginRegistry registry_;
  int inotify_ = -1;
  HostLoop::WatchId registryWatch_ = 0;
  HostLoop::TimerId poll_ = 0;
  std::map<std::string, std::unique_ptr<Running>> running_;
  std::map<std::string, HostLoop::TimerId> relaunches_;
  // Delay before the next start of an extension that keeps dying young.
  std::map<std::string, Clock::duration> backoff_;
  bool stopped_ = false;
};

}  // namespace pellora::host
