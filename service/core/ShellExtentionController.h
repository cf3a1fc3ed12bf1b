// The heart of the service core: writes the port file, runs the TCP server, watches every
// mounted gateway share with one directory watcher each, pushes the watch list and badge
// refreshes to the extensions, keeps the Finder extension alive and runs the version check.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "PortFile.h"
#include "core/DirectoryWatcher.h"
#include "core/ResponseHelperInterface.h"
#include "core/TCPServer.h"
#include "log/Log.h"
#include "mounts/Mounts.h"
#include "plugins/PluginTool.h"
#include "process/Process.h"

// The timings, tools and tables the controller uses; the defaults are the product's, tests
// shorten the waits and hand in mount tables of their own.
struct ControllerSettings {
  std::chrono::milliseconds monitorInterval{30000};
  std::chrono::milliseconds updateInterval{43200000};
  std::chrono::milliseconds restartWait{5000};
  // Found beside the bundles or where it is installed, so the service needs no PATH for it.
  std::string pluginTool = platform::plugins::pluginToolPath();
  std::string extensionId = "com.zavro.Pellora.Service.Finder";
  WatcherTiming watcherTiming;
  std::function<std::optional<std::vector<platform::mounts::Mount>>()> mountTable;
  // The processes the extension monitor looks through; the system's list by default.
  std::function<std::vector<platform::process::ProcessInfo>()> processList;
  TCPServerSettings server;
  // The ports tried at start, in turn, instead of random ones (tests).
  std::function<int()> drawPortForTesting;
};

class ShellExtentionController : public ResponseHelperInterface, public RefreshFileIconInterface {
 public:
  explicit ShellExtentionController(std::string home, ControllerSettings settings = {});
  ~ShellExtentionController() override;
  ShellExtentionController(const ShellExtentionController&) = delete;
  ShellExtentionController& operator=(const ShellExtentionController&) = delete;

  // ResponseHelperInterface
  void analyzeInputAndGenerateOutput(const std::string& input, std::string& output) override;
  void notifyOnReady() override;
  bool verifyZavroSocket(const std::string& first) override;
  std::string getFilterPaths() override;
  std::string getIcon() override;
  void connectionsChanged() override;
  // RefreshFileIconInterface
  bool refreshFileIcon(std::string& path) override;

  // Told, on whichever thread makes the change, when the watched shares or the connected
  // extensions change; never once the controller has begun to go. It may be called with the
  // controller's locks held: it must not call back into the controller.
  void setStatusObserver(std::function<void()> observer);
  // Extensions connected now (past the opening exchange).
  size_t connectedExtensionCount() const;

  void startController();
  void addMonitorPath(const std::string& path);
  void delMonitorPath(const std::string& path);
  void refreshFilterPaths();

  void createConfigFile();
  void addNetworkSharesToList();
  bool getSMBMounts(std::set<std::string>& mounts);
  bool isZavroMount(const std::string& path);
  pid_t getProcessId(const std::string& name, bool skipSelf, bool sameUserOnly);
  bool isExtensionDisabled();
  void restartShellProcess();
  std::string restartMarkerPath() const;
  std::string portFilePath() const { return PortFile(home_).path(); }
  // A port for the service: 1024 (the first one that needs no privileges) to 65533.
  static int drawPort(std::mt19937& random);

  int port() const { return port_; }
  const std::string& key() const { return key_; }
  std::vector<std::string> watchedPaths();

 private:
  // The watch list as the filter-paths frame; call with watchersLock_ held.
  std::string convertMapToString();
  void pushFilterPaths();
  void monitoringShellProcess();
  void checkForUpdateProcess();
  void runPluginTool(const std::string& arguments);
  std::unique_ptr<DirectoryWatcher> makeWatcher(const std::string& path);
  int nextPort(std::mt19937& random);
  void statusChanged();

  std::string home_;
  const std::string folderName_ = PortFile::kFolderName;
  const std::string portFileName_ = PortFile::kFileName;
  const std::string extensionProcessName_ = "PelloraFinder";
  platform::log::Log log_{"com.zavro.Pellora", "Shell"};
  int port_ = 0;
  std::string key_;
  std::unique_ptr<TCPServer> server_;
  std::thread monitorThread_;
  std::thread updateThread_;
  ControllerSettings settings_;
  // Wakes both background threads (and any child they wait on) when the controller goes.
  platform::process::Waker stop_;
  std::map<std::string, std::unique_ptr<DirectoryWatcher>> watchers_;
  std::mutex watchersLock_;
  std::function<void()> statusObserver_;
  std::mutex statusObserverLock_;
};

extern "C" {
ShellExtentionController* createShellExtentionControllerClass(const char* home);
void _startController(ShellExtentionController* controller);
void _addMonitorPath(ShellExtentionController* controller, const char* path);
void _delMonitorPath(ShellExtentionController* controller, const char* path);
void _refreshFilterPaths(ShellExtentionController* controller);
void ReleaseShellExtentionControllerClass(ShellExtentionController* controller);
}
