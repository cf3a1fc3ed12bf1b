// The work of one update check, run on the updater's own thread: feed, choice, download,
// checks, installation. Everything it needs is copied in; it touches nothing of the caller's.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "process/Process.h"
#include "updater/Appcast.h"
#include "updater/SPUUpdaterDelegate.h"
#include "updater/Transfer.h"
#include "updater/UpdateStage.h"

namespace platform::updater {

struct UpdateCycleInput {
  std::string bundlePath;
  std::string feedURL;
  std::string temporaryDirectory;
  TransferLimits limits;
  std::function<void(UpdateStage)> stageObserver;
};

struct UpdateCycleOutcome {
  std::optional<UpdateError> error;
  std::optional<AppcastItem> installed;
};

UpdateCycleOutcome runUpdateCycle(const UpdateCycleInput& input, const process::Waker& cancel);

}  // namespace platform::updater
