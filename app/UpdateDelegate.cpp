#include "UpdateDelegate.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>

#include "AppBundle.h"
#include "AppDelegate.h"
#include "ServiceEnableHandler.h"
#include "ServiceLockFile.h"
#include "ui/Application.h"
#include "workspace/RunningApplication.h"

using platform::workspace::RunningApplication;

namespace {

// The copies that the update took the program from. Their bundle is gone from the disk, and
// with it what names them as the service's; the lock file and the standby marker still name
// them, and their program was the service's.
std::vector<RunningApplication> replacedCopies(const std::vector<RunningApplication>& known) {
  const std::string home = ServiceEnableHandler::homeDirectory();
  std::vector<std::optional<int32_t>> named{ServiceLockFile::readStandbyMarker(home)};
  if (ServiceEnableHandler::isServiceLockHeld()) {
    named.push_back(ServiceLockFile::readHolderPid(ServiceLockFile::lockFilePath(home)));
  }
  const std::string program = std::string("/") + kServiceBundleInApp + "/Contents/MacOS/";
  const std::string deleted = " (deleted)";
  std::vector<RunningApplication> out;
  for (const auto& pid : named) {
    if (!pid || *pid <= 0 || *pid == ::getpid()) continue;
    const bool listed = std::any_of(known.begin(), known.end(),
                                    [&](const RunningApplication& app) { return app.processIdentifier() == *pid; });
    if (listed) continue;
    std::error_code ec;
    const std::string exe = std::filesystem::read_symlink("/proc/" + std::to_string(*pid) + "/exe", ec).string();
    const bool removed = exe.size() > deleted.size() && exe.compare(exe.size() - deleted.size(), deleted.size(), deleted) == 0;
    if (ec || !removed || exe.find(program) == std::string::npos) continue;
    if (auto app = RunningApplication::withProcessIdentifier(*pid)) out.push_back(std::move(*app));
  }
  return out;
}

}  // namespace

std::optional<std::string> UpdateDelegate::feedURLString(platform::updater::SPUUpdater&) {
  const auto defaults = app::standardUserDefaults();
  return defaults ? defaults->string(qaFeedURLKey) : std::nullopt;
}

void UpdateDelegate::didFinishUpdateCycleFor(platform::updater::SPUUpdater&, platform::updater::SPUUpdateCheck,
                                             const std::optional<platform::updater::UpdateError>& error) {
  // An installed update has started the new version already: this copy must not stay beside it.
  const bool installed = !error.has_value();
  if ((AppDelegate::isChecker || installed) && terminateApplication) terminateApplication();
}

bool UpdateDelegate::stopOldHelperIfAppWasUpdated() {
  using Clock = std::chrono::steady_clock;
  const auto info = app::appBundleInfo();
  const std::optional<std::string> version = info ? info->version : std::nullopt;
  const auto defaults = app::standardUserDefaults();
  const std::optional<std::string> last = defaults ? defaults->string(lastLaunchedVersionKey) : std::nullopt;
  if (!version && !last) return false;
  if (version && last && *version == *last) return false;
  if (defaults) {
    if (version) {
      defaults->set(lastLaunchedVersionKey, platform::defaults::Value(*version));
    } else {
      defaults->removeObject(lastLaunchedVersionKey);
    }
  }

  auto copies = RunningApplication::runningApplications(kServiceBundleIdentifier);
  for (auto& copy : replacedCopies(copies)) copies.push_back(std::move(copy));
  if (!copies.empty()) {
    app::setServiceLoginItemEnabled(false);
    ServiceEnableHandler::loginItemUnregistered = true;
    for (const auto& copy : copies) copy.forceTerminate();
  }
  const auto deadline = Clock::now() + std::chrono::seconds(3);
  const auto allEnded = [&copies] {
    return std::all_of(copies.begin(), copies.end(), [](const auto& copy) { return copy.isTerminated(); });
  };
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  platform::ui::runUntil(allEnded, std::max(left, std::chrono::milliseconds(0)));
  const double remaining = std::chrono::duration<double>(deadline - Clock::now()).count();
  const bool lockFree = ServiceEnableHandler::waitForServiceExit(std::max(remaining, 0.5));
  return !copies.empty() && lockFree;
}
