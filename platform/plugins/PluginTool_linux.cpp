#include "plugins/PluginTool.h"

#include <cstdlib>
#include <filesystem>
#include <vector>

#include "process/Process.h"

#ifndef PELLORA_INSTALL_PREFIX
#define PELLORA_INSTALL_PREFIX "/usr/local"
#endif

namespace platform::plugins {
namespace fs = std::filesystem;

namespace {

constexpr const char* kTool = "pluginkit";

// The folder that holds the outermost "*.app" around the program, else the program's folder.
fs::path anchorOf(const fs::path& executable) {
  fs::path anchor = executable.parent_path();
  for (fs::path p = executable.parent_path(); !p.empty() && p != p.root_path(); p = p.parent_path()) {
    if (p.extension() == ".app") anchor = p.parent_path();
  }
  return anchor;
}

}  // namespace

std::string pluginToolPath(const PluginToolSearch& search) {
  if (!search.override.empty()) return search.override;
  std::vector<fs::path> candidates;
  if (!search.executable.empty()) {
    const fs::path anchor = anchorOf(search.executable);
    candidates.push_back(anchor / kTool);
    candidates.push_back(anchor.parent_path() / "tools" / "pluginkit" / kTool);
    candidates.push_back(anchor.parent_path() / "libexec" / "pellora" / kTool);
  }
  for (const auto& installed : search.installedPaths) candidates.push_back(installed);
  for (const auto& candidate : candidates) {
    if (const auto found = process::findExecutable(candidate.lexically_normal().string())) {
      return *found;
    }
  }
  if (const auto found = process::findExecutable(kTool, search.searchPath)) return *found;
  return kTool;
}

std::string pluginToolPath() {
  PluginToolSearch search;
  if (const char* tool = std::getenv("PELLORA_PLUGINKIT")) search.override = tool;
  std::error_code ec;
  search.executable = fs::read_symlink("/proc/self/exe", ec).string();
  search.installedPaths = {std::string(PELLORA_INSTALL_PREFIX) + "/libexec/pellora/pluginkit",
                           "/usr/local/libexec/pellora/pluginkit", "/usr/local/bin/pluginkit",
                           "/usr/bin/pluginkit"};
  if (const char* path = std::getenv("PATH")) search.searchPath = path;
  return pluginToolPath(search);
}

}  // namespace platform::plugins
