// The application bundle that `pellora enable` and `disable` act as, and whose tables give the
// command's texts the user's language. Found where the programs of this build or installation
// put it: given with --app; else the build's bundles folder beside this program
// (<build>/cli/pellora -> <build>/bundles); else "Zavro Pellora.app" in the applications folder
// (platform::paths::applicationsDirectory()).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "ExitStatus.h"

namespace pellora::cli {

struct ApplicationLookup {
  std::optional<std::string> path;  // the bundle, symbolic links resolved
  ExitStatus failure = kExitOk;     // when there is none
  std::string error;
};

// The places looked at when none is given, in order.
std::vector<std::string> applicationCandidates(const std::string& executable);

// executable: this program's path.
ApplicationLookup findApplication(const std::optional<std::string>& given, const std::string& executable);

// The service's bundle inside the application.
std::string serviceBundleOf(const std::string& application);

}  // namespace pellora::cli
