#include "core/ShellExtentionController.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <random>

#include "core/ExtensionHelper.h"
#include "core/IconFrames.h"
#include "core/ZavroMarkers.h"
#include "paths/Paths.h"

namespace {

std::string makeKey() {
  std::random_device device;
  std::mt19937_64 random((static_cast<uint64_t>(device()) << 32) ^ device());
  uint8_t bytes[16];
  for (auto& b : bytes) b = static_cast<uint8_t>(random());
  bytes[6] = (bytes[6] & 0x0F) | 0x40;  // version 4
  bytes[8] = (bytes[8] & 0x3F) | 0x80;  // variant 1
  char text[37];
  std::snprintf(text, sizeof text,
                "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", bytes[0],
                bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7], bytes[8],
                bytes[9], bytes[10], bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
  return std::string("{") + text + "}";
}

}  // namespace

ShellExtentionController::ShellExtentionController(std::string home, ControllerSettings settings)
    : home_(std::move(home)), settings_(std::move(settings)) {
  std::mt19937 random(static_cast<unsigned>(std::time(nullptr)));
  port_ = nextPort(random);
  if (!settings_.mountTable) settings_.mountTable = [] { return platform::mounts::listMounts(); };
  if (!settings_.processList)
    settings_.processList = [] { return platform::process::listProcesses(); };
}

int ShellExtentionController::drawPort(std::mt19937& random) {
  // Ports below 1024 need privileges on Linux; the top of the range is the protocol's.
  return static_cast<int>(random() % (65533 - 1024 + 1)) + 1024;
}

int ShellExtentionController::nextPort(std::mt19937& random) {
  return settings_.drawPortForTesting ? settings_.drawPortForTesting() : drawPort(random);
}

ShellExtentionController::~ShellExtentionController() {
  log_.info("Starting destructor of zavro pellora");
  setStatusObserver(nullptr);
  stop_.wake();
  if (monitorThread_.joinable()) monitorThread_.join();
  if (updateThread_.joinable()) updateThread_.join();
  {
    std::lock_guard guard(watchersLock_);
    watchers_.clear();
  }
  server_.reset();
}

void ShellExtentionController::startController() {
  log_.info("Starting zavro pellora");
  key_ = makeKey();
  // The port is bound before the port file names it, and another is drawn whenever the bind
  // fails, so that the extension never sends its key to some other program.
  std::mt19937 random(static_cast<unsigned>(std::time(nullptr)) ^ static_cast<unsigned>(::getpid()));
  bool bound = false;
  for (int attempt = 0; attempt < 20 && !bound; ++attempt) {
    if (attempt > 0) port_ = nextPort(random);
    server_ = std::make_unique<TCPServer>(port_, *this, log_, settings_.server);
    bound = server_->bindListener() == 0;
  }
  if (bound) {
    createConfigFile();
    server_->startTCPServer();
  } else {
    // A port file from an earlier start would name a port nobody serves, or someone else's.
    log_.error("Unable to listen on any port; the extension cannot connect.");
    PortFile(home_).remove();
  }
  monitorThread_ = std::thread([this] { monitoringShellProcess(); });
  updateThread_ = std::thread([this] { checkForUpdateProcess(); });
  addNetworkSharesToList();
}

void ShellExtentionController::createConfigFile() {
  const PortFile file(home_);
  switch (file.write(port_, key_)) {
    case PortFile::WriteResult::Written:
      return;
    case PortFile::WriteResult::FolderFailed:
      log_.errorf("Unable to create folder. Path:%s", file.folder().c_str());
      return;
    case PortFile::WriteResult::RemoveFailed:
      log_.errorf("Unable to delete config file. Path:%s", file.path().c_str());
      return;
    case PortFile::WriteResult::WriteFailed:
      log_.errorf("Unable to write to config file. Path:%s", file.path().c_str());
      return;
  }
}

void ShellExtentionController::analyzeInputAndGenerateOutput(const std::string& input,
                                                             std::string& output) {
  output = commandQuery(input.c_str());
}

void ShellExtentionController::notifyOnReady() {
  const pid_t pid = getProcessId(extensionProcessName_, false, false);
  if (pid > 0) platform::process::sendSignal(pid, SIGKILL);
  restartShellProcess();
}

bool ShellExtentionController::verifyZavroSocket(const std::string& first) {
  return first == key_ + "\n";
}

std::string ShellExtentionController::getFilterPaths() {
  std::lock_guard guard(watchersLock_);
  if (watchers_.empty()) return "";
  return setFilterPath(convertMapToString().c_str());
}

std::string ShellExtentionController::getIcon() { return registerIcon(); }

void ShellExtentionController::connectionsChanged() { statusChanged(); }

void ShellExtentionController::setStatusObserver(std::function<void()> observer) {
  std::lock_guard guard(statusObserverLock_);
  statusObserver_ = std::move(observer);
}

void ShellExtentionController::statusChanged() {
  std::lock_guard guard(statusObserverLock_);
  if (statusObserver_) statusObserver_();
}

size_t ShellExtentionController::connectedExtensionCount() const {
  return server_ ? server_->connectedCount() : 0;
}

bool ShellExtentionController::refreshFileIcon(std::string& path) {
  std::string text = _refreshFileIcon(path.c_str());
  if (text.empty() || !server_) return false;
  server_->notifyAllSockets(text);
  return true;
}

std::string ShellExtentionController::convertMapToString() {
  std::string joined;
  for (const auto& [path, watcher] : watchers_) {
    if (!joined.empty()) joined += "\n\r";
    joined += path;
  }
  return joined;
}

void ShellExtentionController::pushFilterPaths() {
  std::string text = setFilterPath(convertMapToString().c_str());
  if (server_) server_->notifyAllSockets(text);
}

bool ShellExtentionController::getSMBMounts(std::set<std::string>& mounts) {
  const auto table = settings_.mountTable();
  if (!table) {
    log_.error("Unable to get mount list");
    return false;
  }
  for (const auto& m : *table) {
    if (isSMBMountType(m.type)) mounts.insert(m.mountPoint);
  }
  return true;
}

bool ShellExtentionController::isZavroMount(const std::string& path) {
  return isZavroShareRoot(path);
}

std::unique_ptr<DirectoryWatcher> ShellExtentionController::makeWatcher(const std::string& path) {
  return std::make_unique<DirectoryWatcher>(path, *this, log_, settings_.watcherTiming);
}

void ShellExtentionController::addNetworkSharesToList() {
  std::lock_guard guard(watchersLock_);
  std::set<std::string> mounts;
  getSMBMounts(mounts);
  for (const auto& path : mounts) {
    if (!isZavroMount(path)) continue;
    if (!watchers_.count(path)) watchers_[path] = makeWatcher(path);
    log_.infof("Monitoring path:%s", path.c_str());
  }
  if (!watchers_.empty()) pushFilterPaths();
  statusChanged();
}

void ShellExtentionController::addMonitorPath(const std::string& path) {
  if (!isZavroMount(path)) return;
  std::lock_guard guard(watchersLock_);
  if (watchers_.count(path)) {
    log_.errorf("Path %s found in the map", path.c_str());
  } else {
    watchers_[path] = makeWatcher(path);
  }
  log_.infof("Monitoring path:%s", path.c_str());
  pushFilterPaths();
  statusChanged();
}

void ShellExtentionController::delMonitorPath(const std::string& path) {
  std::lock_guard guard(watchersLock_);
  if (watchers_.erase(path) == 0) return;
  log_.infof("Stopped monitoring path:%s", path.c_str());
  pushFilterPaths();
  statusChanged();
}

void ShellExtentionController::refreshFilterPaths() {
  std::lock_guard guard(watchersLock_);
  if (watchers_.empty()) return;
  log_.info("Sending monitored paths to the Finder extension again");
  pushFilterPaths();
}

std::vector<std::string> ShellExtentionController::watchedPaths() {
  std::lock_guard guard(watchersLock_);
  std::vector<std::string> out;
  for (const auto& [path, watcher] : watchers_) out.push_back(path);
  return out;
}

pid_t ShellExtentionController::getProcessId(const std::string& name, bool skipSelf,
                                             bool sameUserOnly) {
  const uid_t self = ::getuid();
  for (const auto& p : settings_.processList()) {
    if (p.name != name) continue;
    if (skipSelf && p.pid == ::getpid()) continue;
    if (sameUserOnly && p.realUid != self) continue;
    return p.pid;
  }
  return 0;
}

std::string ShellExtentionController::restartMarkerPath() const {
  return home_ + "/" + folderName_ + "/extension.restarting";
}

bool ShellExtentionController::isExtensionDisabled() {
  if (::access(restartMarkerPath().c_str(), F_OK) == 0) return false;
  const auto result = platform::process::runShell(
      platform::process::shellQuote(settings_.pluginTool) + " -m -i " +
          platform::process::shellQuote(settings_.extensionId),
      {.captureOutput = true, .maxOutput = 4096, .waker = &stop_});
  std::string line = result.output.substr(0, result.output.find('\n'));
  if (line.size() > 255) line.resize(255);
  const size_t first = line.find_first_not_of(" \t");
  if (first == std::string::npos) return false;
  return line[first] == '-';
}

void ShellExtentionController::runPluginTool(const std::string& arguments) {
  // Not cut short when the controller goes: an extension switched off must be switched on again.
  platform::process::runShell(platform::process::shellQuote(settings_.pluginTool) + " " +
                              arguments + " -i " +
                              platform::process::shellQuote(settings_.extensionId));
}

void ShellExtentionController::restartShellProcess() {
  const std::string marker = restartMarkerPath();
  std::ofstream{marker};
  runPluginTool("-e ignore");
  stop_.waitFor(static_cast<int>(settings_.restartWait.count()));
  runPluginTool("-e use");
  ::unlink(marker.c_str());
}

void ShellExtentionController::monitoringShellProcess() {
  try {
    while (!stop_.waitFor(static_cast<int>(settings_.monitorInterval.count()))) {
      if (getProcessId(extensionProcessName_, false, false) > 0) {
        ::unlink(restartMarkerPath().c_str());
      } else if (!isExtensionDisabled() && !stop_.woken()) {
        // A query cut short by the stop reads as "not disabled"; it must not start a restart.
        restartShellProcess();
      }
    }
  } catch (const std::exception& e) {
    log_.errorf("Failed in monitoring shell process thread:%s", e.what());
  }
}

void ShellExtentionController::checkForUpdateProcess() {
  try {
    const std::string app = platform::paths::applicationsDirectory() +
                            "/Zavro Pellora.app/Contents/MacOS/Zavro Pellora";
    while (!stop_.woken()) {
      log_.info("Checking for new version");
      if (stop_.waitFor(static_cast<int>(settings_.updateInterval.count()))) return;
      platform::process::runShell(platform::process::shellQuote(app) + " checkVersion",
                                  {.waker = &stop_});
    }
  } catch (const std::exception& e) {
    log_.errorf("Failed in check for update thread:%s", e.what());
  }
}

extern "C" {

ShellExtentionController* createShellExtentionControllerClass(const char* home) {
  if (!home) return nullptr;
  return new ShellExtentionController(home);
}

void _startController(ShellExtentionController* controller) {
  if (controller) controller->startController();
}

void _addMonitorPath(ShellExtentionController* controller, const char* path) {
  if (controller && path) controller->addMonitorPath(path);
}

void _delMonitorPath(ShellExtentionController* controller, const char* path) {
  if (controller && path) controller->delMonitorPath(path);
}

void _refreshFilterPaths(ShellExtentionController* controller) {
  if (controller) controller->refreshFilterPaths();
}

void ReleaseShellExtentionControllerClass(ShellExtentionController* controller) {
  delete controller;
}

}  // extern "C"
