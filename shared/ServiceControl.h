// What the status window and the command line ask of the enable handler and the process list.
// The default answers come from ServiceEnableHandler, the running applications and the
// login-item service; tests put their own in place of the parts that would start or look for
// real service processes.
#pragma once

#include <functional>

class ServiceControl {
 public:
  virtual ~ServiceControl() = default;

  virtual bool isEnabledInDefaults();
  virtual bool isEnabledForced();
  virtual bool isServiceLockHeld();
  // Some process of the service's bundle identifier runs.
  virtual bool serviceApplicationRuns();
  virtual void updateUserDefaults(bool enabled);
  // The completions may run on any queue.
  virtual void handleEnabled(bool forceStart, std::function<void()> completion);
  virtual void restartServiceFromApp(std::function<void(bool)> completion);
  // The service's login item waits for the user's approval. Called on a background queue.
  virtual bool backgroundNeedsApproval();
};
