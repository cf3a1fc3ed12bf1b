#include "plugins/PluginRegistry.h"

#include <gtest/gtest.h>

#include <thread>

#include "TempDir.h"
#include "bundle/PropertyList.h"

namespace platform::plugins {
namespace {

using pellora::testing::TempDir;

std::string makeExtension(const TempDir& dir, const std::string& name, const std::string& id) {
  dir.write(name + "/Contents/Info.plist",
            bundle::writePropertyList({{"CFBundleIdentifier", id}, {"CFBundleShortVersionString", "1.2"}}));
  return dir / name;
}

TEST(PluginRegistry, RegistersBundlesAndKeepsTheUsersChoice) {
  TempDir dir;
  PluginRegistry registry(dir / "config/pluginkit/registry.json");
  EXPECT_FALSE(registry.find("com.zavro.Pellora.Service.Finder").has_value());
  // A choice made before registration is kept.
  ASSERT_TRUE(registry.setEnabled("com.zavro.Pellora.Service.Finder", false));
  const std::string appex = makeExtension(dir, "PelloraFinder.appex", "com.zavro.Pellora.Service.Finder");
  EXPECT_EQ(registry.add(appex), "com.zavro.Pellora.Service.Finder");
  auto p = registry.find("com.zavro.Pellora.Service.Finder");
  ASSERT_TRUE(p.has_value());
  EXPECT_EQ(p->path, appex);
  EXPECT_EQ(p->version, "1.2");
  EXPECT_FALSE(p->enabled);
  ASSERT_TRUE(registry.setEnabled("com.zavro.Pellora.Service.Finder", true));
  EXPECT_TRUE(registry.find("com.zavro.Pellora.Service.Finder")->enabled);
  // A new bundle is on by default.
  EXPECT_TRUE(registry.find(*registry.add(makeExtension(dir, "Other.appex", "x.other")))->enabled);
  EXPECT_FALSE(registry.add(dir.mkdir("NoInfo.appex")).has_value());
  EXPECT_TRUE(registry.remove("x.other"));
  EXPECT_EQ(registry.load().size(), 1u);
}

TEST(PluginRegistry, ConcurrentChangesAreNotLost) {
  TempDir dir;
  const std::string file = dir / "registry.json";
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      PluginRegistry registry(file);
      for (int i = 0; i < 20; ++i) registry.setEnabled("id." + std::to_string(t) + "." + std::to_string(i), i % 2);
    });
  }
  for (auto& t : threads) t.join();
  const auto plugins = PluginRegistry(file).load();
  EXPECT_EQ(plugins.size(), 160u);
  EXPECT_FALSE(plugins.at("id.3.4").enabled);
  EXPECT_TRUE(plugins.at("id.5.7").enabled);
}

TEST(PluginRegistry, UnreadableFileReadsAsEmpty) {
  TempDir dir;
  const std::string file = dir.write("registry.json", "{ torn");
  PluginRegistry registry(file);
  EXPECT_TRUE(registry.load().empty());
  EXPECT_TRUE(registry.setEnabled("a", true));  // and a change writes a sound file again
  EXPECT_EQ(registry.load().size(), 1u);
}

TEST(PluginRegistry, FieldsOfTheWrongTypeReadAsMissing) {
  const auto plugins = parseRegistry(R"({"plugins": {
      "a": {"path": 1, "version": ["1"], "enabled": "no"},
      "b": {"path": "/x/B.appex", "version": "2.0", "enabled": false},
      "c": 3}})");
  ASSERT_EQ(plugins.size(), 2u);
  EXPECT_EQ(plugins.at("a").path, "");
  EXPECT_EQ(plugins.at("a").version, "");
  EXPECT_TRUE(plugins.at("a").enabled);
  EXPECT_EQ(plugins.at("b").path, "/x/B.appex");
  EXPECT_EQ(plugins.at("b").version, "2.0");
  EXPECT_FALSE(plugins.at("b").enabled);
  EXPECT_TRUE(parseRegistry(R"({"plugins": [{"path": "/x"}]})").empty());
}

}  // namespace
}  // namespace platform::plugins
