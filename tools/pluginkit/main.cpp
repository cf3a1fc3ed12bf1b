// pluginkit: switches app extensions on and off and tells their state.
//   pluginkit -m -i ID          "+    ID(version)" when on, "-    ID(version)" when off,
//                               nothing when the extension is unknown
//   pluginkit -e use -i ID      switch on
//   pluginkit -e ignore -i ID   switch off
//   pluginkit -a PATH           register the extension bundle at PATH
//   pluginkit -r PATH           unregister it
#include <cstdio>
#include <string>
#include <vector>

#include "bundle/Bundle.h"
#include "plugins/PluginRegistry.h"
#include "process/StandardOptions.h"

namespace {

constexpr const char* kUsage = "usage: pluginkit -m -i ID | -e use|ignore -i ID | -a PATH | -r PATH\n";

constexpr const char* kHelp =
    "usage: pluginkit -m -i ID | -e use|ignore -i ID | -a PATH | -r PATH\n"
    "\n"
    "Switches app extensions on and off and tells their state, in the registry that Finder\n"
    "follows ($XDG_CONFIG_HOME/pluginkit/registry.json).\n"
    "\n"
    "  -m -i ID              \"+    ID(version)\" when on, \"-    ID(version)\" when off, nothing\n"
    "                        when the extension is not registered\n"
    "  -e use|ignore -i ID   switch it on or off\n"
    "  -a PATH               register the extension bundle at PATH\n"
    "  -r PATH               unregister it\n"
    "  --help, --version\n";

int usage() {
  std::fputs(kUsage, stderr);
  return 64;
}

}  // namespace

int main(int argc, char** argv) {
  // Long options only: its users fix the meaning of the short ones.
  if (const auto status = platform::process::answerStandardOptions(
          argc, argv, kHelp, platform::process::toolVersionLine("pluginkit", PELLORA_VERSION), {.shortHelp = false})) {
    return *status;
  }
  const std::vector<std::string> args(argv + 1, argv + argc);
  std::string mode, election, identifier, path;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    const bool hasValue = i + 1 < args.size();
    if (a == "-m") {
      mode = "m";
    } else if (a == "-e" && hasValue) {
      mode = "e";
      election = args[++i];
    } else if (a == "-i" && hasValue) {
      identifier = args[++i];
    } else if ((a == "-a" || a == "-r") && hasValue) {
      mode = a.substr(1);
      path = args[++i];
    } else {
      return usage();
    }
  }
  platform::plugins::PluginRegistry registry;
  if (mode == "m" && !identifier.empty()) {
    const auto plugin = registry.find(identifier);
    // An extension that was never registered is not listed, even if a choice was recorded.
    if (!plugin || plugin->path.empty()) return 0;
    std::printf("%c    %s(%s)\n", plugin->enabled ? '+' : '-', identifier.c_str(),
                plugin->version.c_str());
    return 0;
  }
  if (mode == "e" && !identifier.empty() && (election == "use" || election == "ignore")) {
    return registry.setEnabled(identifier, election == "use") ? 0 : 1;
  }
  if (mode == "a") {
    const auto id = registry.add(path);
    if (!id) {
      std::fprintf(stderr, "pluginkit: %s has no bundle identifier\n", path.c_str());
      return 1;
    }
    return 0;
  }
  if (mode == "r") {
    const auto id = platform::bundle::Bundle(path).bundleIdentifier();
    return id && registry.remove(*id) ? 0 : 1;
  }
  return usage();
}
