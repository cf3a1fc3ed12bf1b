#include "ServiceControl.h"

#include "ServiceEnableHandler.h"
#include "loginitems/LoginItems.h"
#include "workspace/RunningApplication.h"

bool ServiceControl::isEnabledInDefaults() { return ServiceEnableHandler::isEnabledInDefaults(); }

bool ServiceControl::isEnabledForced() { return ServiceEnableHandler::isEnabledForced(); }

bool ServiceControl::isServiceLockHeld() { return ServiceEnableHandler::isServiceLockHeld(); }

bool ServiceControl::serviceApplicationRuns() {
  for (const auto& app : platform::workspace::RunningApplication::runningApplications(kServiceBundleIdentifier)) {
    if (!app.isTerminated()) return true;
  }
  return false;
}

void ServiceControl::updateUserDefaults(bool enabled) { ServiceEnableHandler::updateUserDefaults(enabled); }

void ServiceControl::handleEnabled(bool forceStart, std::function<void()> completion) {
  ServiceEnableHandler::handleEnabled(forceStart, std::move(completion));
}

void ServiceControl::restartServiceFromApp(std::function<void(bool)> completion) {
  ServiceEnableHandler::restartServiceFromApp(std::move(completion));
}

bool ServiceControl::backgroundNeedsApproval() {
  return platform::loginitems::LoginItems().status(kServiceBundleIdentifier) ==
         platform::loginitems::Status::RequiresApproval;
}
