// Who the application is: its bundle, the service bundle inside it and its own standard user
// defaults. The enable handler's environment, when it names a bundle, stands for the running
// program's (tests play the application from a bundle in a temporary folder).
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "defaults/UserDefaults.h"
#include "workspace/Workspace.h"

namespace app {

std::optional<platform::workspace::BundleInfo> appBundleInfo();
// The service's bundle inside the application's; empty when the application has no bundle.
std::string serviceBundlePath();
// The suite named by the application's bundle identifier ("com.zavro.Pellora" when it has
// none): "lastLaunchedVersion" and "ZVQAFeedURL".
std::shared_ptr<platform::defaults::UserDefaults> standardUserDefaults();
// Registers or unregisters the service's login item, as the enable handler does.
void setServiceLoginItemEnabled(bool enabled);

}  // namespace app
