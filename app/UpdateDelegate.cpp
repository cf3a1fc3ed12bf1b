#include "UpdateDelegate.h"

#include <algorithm>
#include <chrono>

#include "AppBundle.h"
#include "AppDelegate.h"
#include "ServiceEnableHandler.h"
#include "ui/Application.h"
#include "workspace/RunningApplication.h"

using platform::workspace::RunningApplication;

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

  const auto copies = RunningApplication::runningApplications(kServiceBundleIdentifier);
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
