#include "updater/SPUStandardUpdaterController.h"

namespace platform::updater {

SPUStandardUpdaterController::SPUStandardUpdaterController(
    bool startingUpdater, std::weak_ptr<SPUUpdaterDelegate> updaterDelegate,
    UpdaterEnvironment environment)
    : updater_(std::make_unique<SPUUpdater>(std::move(updaterDelegate), std::move(environment))) {
  if (startingUpdater) startUpdater();
}

void SPUStandardUpdaterController::startUpdater() { updater_->startUpdater(); }

}  // namespace platform::updater
