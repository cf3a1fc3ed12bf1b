#include "AppBundle.h"

#include "ServiceEnableHandler.h"
#include "loginitems/LoginItems.h"

namespace app {

std::optional<platform::workspace::BundleInfo> appBundleInfo() {
  if (const auto path = ServiceEnableHandler::environment().mainBundlePath) {
    return platform::workspace::bundleInfo(*path);
  }
  return platform::workspace::mainBundleInfo();
}

std::string serviceBundlePath() {
  const auto info = appBundleInfo();
  return info ? info->path + "/" + kServiceBundleInApp : std::string();
}

std::shared_ptr<platform::defaults::UserDefaults> standardUserDefaults() {
  const auto info = appBundleInfo();
  return platform::defaults::UserDefaults::suite(info && info->identifier ? *info->identifier
                                                                          : kMainAppBundleIdentifier);
}

void setServiceLoginItemEnabled(bool enabled) {
  const platform::loginitems::LoginItems items;
  if (enabled) {
    items.registerItem(kServiceBundleIdentifier, serviceBundlePath());
  } else {
    items.unregisterItem(kServiceBundleIdentifier);
  }
}

}  // namespace app
