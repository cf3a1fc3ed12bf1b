// Where the plug-in tool "pluginkit" is. A program started without the build's or the
// installation's tools on PATH (a login item, a program opened from the file manager) still
// finds the tool that belongs to it.
#pragma once

#include <string>
#include <vector>

namespace platform::plugins {

struct PluginToolSearch {
  std::string override{};     // PELLORA_PLUGINKIT: used as it is when set
  std::string executable{};   // the running program
  std::vector<std::string> installedPaths{};
  std::string searchPath{};   // a PATH value
};

// The first executable of: the override; beside the bundles, from the folder that holds the
// outermost application bundle around the program (or the program's own folder when it is
// in none): "pluginkit", "../tools/pluginkit/pluginkit" (the build tree) and
// "../libexec/pellora/pluginkit"; the installed paths; the search path. When none is found,
// the bare name "pluginkit".
std::string pluginToolPath(const PluginToolSearch& search);
// The same for this process: PELLORA_PLUGINKIT, /proc/self/exe, the installed paths
// <prefix>/libexec/pellora/pluginkit (the build's install prefix),
// /usr/local/libexec/pellora/pluginkit, /usr/local/bin/pluginkit and /usr/bin/pluginkit, and
// PATH.
std::string pluginToolPath();

}  // namespace platform::plugins
