// The updater's delegate: the feed override of the application's own defaults, and the end of
// a version-check start once its update cycle is over. Also the launch step that stops the
// service copies of an older version after the application was updated.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "updater/SPUUpdaterDelegate.h"

class UpdateDelegate : public platform::updater::SPUUpdaterDelegate {
 public:
  // In the application's own standard defaults, not the shared suite.
  static constexpr const char* qaFeedURLKey = "ZVQAFeedURL";
  static constexpr const char* lastLaunchedVersionKey = "lastLaunchedVersion";

  // How the application is asked to terminate; set by the application delegate.
  std::function<void()> terminateApplication;

  std::optional<std::string> feedURLString(platform::updater::SPUUpdater& updater) override;
  void didFinishUpdateCycleFor(platform::updater::SPUUpdater& updater,
                               platform::updater::SPUUpdateCheck updateCheck,
                               const std::optional<platform::updater::UpdateError>& error) override;

  // After a change of the bundle version since the last launch (a first launch counts), stops
  // every service copy; true when at least one was stopped and the lock became free, so that
  // the service is then opened from this bundle instead of the old copy being kept. Serves
  // the main queue's events while it waits (up to about 3.5 seconds).
  static bool stopOldHelperIfAppWasUpdated();
};
