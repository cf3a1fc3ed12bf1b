#include "plugins/PluginTool.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>

#include "TempDir.h"

namespace platform::plugins {
namespace {

using pellora::testing::TempDir;

std::string tool(const TempDir& dir, const std::string& relative) {
  const std::string path = dir.write(relative, "#!/bin/sh\n");
  ::chmod(path.c_str(), 0755);
  return path;
}

constexpr const char* kService =
    "/bundles/Zavro Pellora.app/Contents/Library/LoginItems/Zavro Pellora Service.app/Contents/"
    "MacOS/Zavro Pellora Service";

TEST(PluginTool, IsFoundBesideTheBundlesBeforeInstalledPathsAndPath) {
  TempDir dir;
  const std::string onPath = tool(dir, "bin/pluginkit");
  const std::string installed = tool(dir, "prefix/libexec/pellora/pluginkit");
  PluginToolSearch search{.executable = dir / "build" + kService,
                          .installedPaths = {dir / "missing/pluginkit", installed},
                          .searchPath = dir / "bin"};
  EXPECT_EQ(pluginToolPath(search), installed);

  // The build tree: the tool's own folder next to the bundles' folder.
  const std::string built = tool(dir, "build/tools/pluginkit/pluginkit");
  EXPECT_EQ(pluginToolPath(search), built);
  // A program outside any bundle looks from its own folder (a test binary of the build).
  search.executable = dir / "build/shared/shared_test";
  EXPECT_EQ(pluginToolPath(search), built);

  // Right beside the bundles comes first.
  search.executable = dir / "build" + kService;
  const std::string beside = tool(dir, "build/bundles/pluginkit");
  EXPECT_EQ(pluginToolPath(search), beside);

  search.override = "/chosen/pluginkit";
  EXPECT_EQ(pluginToolPath(search), "/chosen/pluginkit");

  // Nothing beside or installed: PATH, and then the bare name for the shell to look up.
  PluginToolSearch bare{.executable = dir / "elsewhere/prog", .searchPath = dir / "bin"};
  EXPECT_EQ(pluginToolPath(bare), onPath);
  bare.searchPath = dir / "none";
  EXPECT_EQ(pluginToolPath(bare), "pluginkit");
}

TEST(PluginTool, ThisBuildsTestsFindTheBuildsTool) {
  ::unsetenv("PELLORA_PLUGINKIT");
  const char* path = std::getenv("PATH");
  const std::string saved = path ? path : "";
  ::setenv("PATH", "/nonexistent", 1);
  const std::string found = pluginToolPath();
  ::setenv("PATH", saved.c_str(), 1);
  EXPECT_EQ(std::filesystem::path(found).lexically_normal(),
            std::filesystem::path(PELLORA_PLUGINKIT_PATH).lexically_normal());
}

}  // namespace
}  // namespace platform::plugins
