// Where the status list's facts come from on this system, for the status window and the
// command line alike: the enable key, the service's lock and processes, the service's findings
// in the shared defaults suite, the Finder extension's state from the plug-in tool and the
// login item's approval. The parts that would start or look for real service processes come
// from a ServiceControl, which tests replace.
//
// Copyable and cheap; each probe reads afresh. extensionEnabled() and backgroundNeedsApproval()
// block (the plug-in tool runs, the login-item service is asked): call them off the main thread
// where that matters.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ServiceControl.h"
#include "StatusModel.h"

class StatusProbe : public StatusSources {
 public:
  struct Settings {
    std::string pluginTool{};  // empty: platform::plugins::pluginToolPath()
    std::string home{};        // empty: ServiceEnableHandler::homeDirectory()
  };

  // The system's own answers.
  StatusProbe();
  // service: null for the enable handler's own.
  StatusProbe(std::shared_ptr<ServiceControl> service, Settings settings);

  // StatusSources
  bool isEnabledInDefaults() override;
  bool serviceRuns() override;
  std::optional<SharedStatus> sharedStatus() override;

  // The Finder extension switched on or off; none when the plug-in tool does not know it, or
  // while the service switches it off and on again.
  std::optional<bool> extensionEnabled() const;
  bool backgroundNeedsApproval() const;

  // The rows the status window would show now, with model's own state (a restart under way,
  // the fixes already tried) and the two blocking facts above read first.
  std::vector<Problem> currentProblems(StatusModel& model);

  // The plug-in tool's answer about the Finder extension; none when unknown.
  static std::optional<bool> finderExtensionEnabled(const std::string& pluginTool);

  const std::shared_ptr<ServiceControl>& service() const { return service_; }
  std::string pluginTool() const;
  std::string home() const;

 private:
  std::shared_ptr<ServiceControl> service_;
  Settings settings_;
};
