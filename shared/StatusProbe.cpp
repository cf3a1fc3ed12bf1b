#include "StatusProbe.h"

#include <unistd.h>

#include "ServiceEnableHandler.h"
#include "ServiceLockFile.h"
#include "defaults/UserDefaults.h"
#include "plugins/PluginTool.h"
#include "process/Process.h"

StatusProbe::StatusProbe() : StatusProbe(nullptr, Settings{}) {}

StatusProbe::StatusProbe(std::shared_ptr<ServiceControl> service, Settings settings)
    : service_(service ? std::move(service) : std::make_shared<ServiceControl>()),
      settings_(std::move(settings)) {}

std::string StatusProbe::pluginTool() const {
  return settings_.pluginTool.empty() ? platform::plugins::pluginToolPath() : settings_.pluginTool;
}

std::string StatusProbe::home() const {
  return settings_.home.empty() ? ServiceEnableHandler::homeDirectory() : settings_.home;
}

bool StatusProbe::isEnabledInDefaults() { return service_->isEnabledInDefaults(); }

bool StatusProbe::serviceRuns() { return service_->isServiceLockHeld() || service_->serviceApplicationRuns(); }

std::optional<SharedStatus> StatusProbe::sharedStatus() {
  const auto suite = platform::defaults::UserDefaults::suite(kSharedDefaultsSuite);
  if (!suite) return std::nullopt;
  return SharedStatus{suite->string(kFinderControlKey), suite->string(kNetworkAccessKey),
                      suite->integer(kNetworkSharesKey).value_or(0),
                      suite->integer(kMonitoredSharesKey).value_or(0)};
}

std::optional<bool> StatusProbe::extensionEnabled() const {
  std::optional<bool> state = finderExtensionEnabled(pluginTool());
  // The service is switching the extension off and on again.
  const std::string restarting = ServiceLockFile::hiddenFolderPath(home()) + "/extension.restarting";
  if (::access(restarting.c_str(), F_OK) == 0) state.reset();
  return state;
}

bool StatusProbe::backgroundNeedsApproval() const { return service_->backgroundNeedsApproval(); }

std::vector<Problem> StatusProbe::currentProblems(StatusModel& model) {
  model.extensionEnabled = extensionEnabled();
  model.backgroundNeedsApproval = backgroundNeedsApproval();
  return model.currentProblems(*this, StatusModel::Clock::now());
}

std::optional<bool> StatusProbe::finderExtensionEnabled(const std::string& pluginTool) {
  platform::process::RunOptions options;
  options.captureOutput = true;
  const auto result = platform::process::run({pluginTool, "-m", "-i", kFinderExtensionIdentifier}, options);
  if (!result.started) return std::nullopt;
  const std::string& out = result.output;
  const size_t first = out.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return std::nullopt;
  if (out[first] == '+') return true;
  if (out[first] == '-') return false;
  return std::nullopt;
}
