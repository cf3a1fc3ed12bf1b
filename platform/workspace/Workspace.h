// The workspace: bundles of running programs, opening applications and URLs.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "workspace/RunningApplication.h"

namespace platform::workspace {

// What a bundle's Contents/Info.plist says about it.
struct BundleInfo {
  std::string path;                          // the bundle folder, symbolic links resolved
  std::optional<std::string> identifier;     // CFBundleIdentifier
  std::optional<std::string> version;        // CFBundleVersion
  std::optional<std::string> shortVersion;   // CFBundleShortVersionString
  std::string executablePath;                // Contents/MacOS/<CFBundleExecutable>
};

// The path with every symbolic link in it resolved; the part that does not exist is kept as it
// is written. Relative paths are taken from the current folder.
std::string resolvingSymlinks(const std::string& path);
// The nearest folder above executable named "*.app" or "*.appex"; nothing when there is none.
std::optional<std::string> enclosingBundlePath(const std::string& executable);
// Nothing when the folder does not exist.
std::optional<BundleInfo> bundleInfo(const std::string& bundlePath);
// The bundle of the running program; nothing when the program does not lie in one.
std::optional<BundleInfo> mainBundleInfo();
// "<name> <short version> (<build>)" from the running program's bundle, with builtVersion where
// the bundle has none: the --version line of the bundled programs.
std::string bundleVersionLine(const std::string& name, const std::string& builtVersion);

struct OpenConfiguration {
  // False: an instance of the bundle that already runs is handed back instead of a new one.
  bool createsNewApplicationInstance = false;
  std::vector<std::string> arguments{};
  // Changes to this process's environment for the new program (nothing removes a variable).
  // XPC_SERVICE_NAME, which names the job that the login-item service started, is removed
  // unless it is set here: the opened program is not that job.
  std::map<std::string, std::optional<std::string>> environment{};
};

// The application, or nothing with a description of the error.
using OpenCompletion =
    std::function<void(std::optional<RunningApplication>, std::optional<std::string> error)>;

// Opens the application bundle: its executable starts detached (its own session and process
// group) with the arguments. The completion runs once, on a global queue, when the program
// runs or could not be started.
void openApplication(const std::string& bundlePath, const OpenConfiguration& configuration,
                     OpenCompletion completion);

// Hands url to xdg-open, without waiting for it. When PELLORA_OPEN_URL_LOG names a file, the
// URL is appended to it as a line instead (tests read what would have been opened). False when
// the URL is empty or begins with "-", or nothing could be started.
bool openURL(const std::string& url);

}  // namespace platform::workspace
