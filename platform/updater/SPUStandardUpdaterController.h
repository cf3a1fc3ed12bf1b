// The usual way for an application to own its updater: the controller makes the updater for
// the application's own bundle and may start it at once.
#pragma once

#include <memory>

#include "updater/SPUUpdater.h"

namespace platform::updater {

class SPUStandardUpdaterController {
 public:
  // updaterDelegate is held weakly. With startingUpdater false, nothing runs until
  // startUpdater().
  SPUStandardUpdaterController(bool startingUpdater,
                               std::weak_ptr<SPUUpdaterDelegate> updaterDelegate,
                               UpdaterEnvironment environment = {});

  // Starts the updater; a configuration that cannot work is logged.
  void startUpdater();
  SPUUpdater& updater() { return *updater_; }

 private:
  std::unique_ptr<SPUUpdater> updater_;
};

}  // namespace platform::updater
