// The delegate's pure decisions: where a service bundle may run from, and which of two bundle
// versions is newer. The start-up itself runs in separate processes (tests/e2e).
#include "AppDelegate.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "TempDir.h"
#include "bundle/PropertyList.h"

namespace {

namespace fs = std::filesystem;
using pellora::testing::TempDir;

void writeInfo(const std::string& bundle, const std::map<std::string, std::string>& keys) {
  fs::create_directories(bundle + "/Contents");
  std::ofstream(bundle + "/Contents/Info.plist") << platform::bundle::writePropertyList(keys);
}

class LocationCheck : public ::testing::Test {
 protected:
  // <folder>/<app>/Contents/Library/LoginItems/Zavro Pellora Service.app
  std::string layout(const std::string& app, const std::string& identifier = "com.zavro.Pellora",
                     const std::string& inner = "Contents/Library/LoginItems") {
    const std::string outer = dir_ / app;
    writeInfo(outer, {{"CFBundleIdentifier", identifier}});
    const std::string service = outer + "/" + inner + "/Zavro Pellora Service.app";
    writeInfo(service, {{"CFBundleIdentifier", "com.zavro.Pellora.Service"}});
    return service;
  }
  TempDir dir_;
};

TEST_F(LocationCheck, TheApplicationsLoginItemsFolderPasses) {
  const std::string service = layout("Zavro Pellora.app");
  EXPECT_TRUE(AppDelegate::isInsideAppLoginItems(service));
  EXPECT_TRUE(AppDelegate::isInsideAppLoginItems(service + "/"));
  // Any outer name will do as long as the bundle is the application's.
  EXPECT_TRUE(AppDelegate::isInsideAppLoginItems(layout("Renamed.app")));
}

TEST_F(LocationCheck, AnotherOuterBundleOrAnUnreadableOneFails) {
  EXPECT_FALSE(AppDelegate::isInsideAppLoginItems(layout("Other.app", "com.zavro.Pellora.Other")));
  EXPECT_FALSE(AppDelegate::isInsideAppLoginItems(layout("Upper.app", "COM.ZAVRO.PELLORA")));
  const std::string service = layout("NoInfo.app");
  fs::remove(dir_ / "NoInfo.app/Contents/Info.plist");
  EXPECT_FALSE(AppDelegate::isInsideAppLoginItems(service));
  const std::string noIdentifier = layout("NoId.app");
  writeInfo(dir_ / "NoId.app", {{"CFBundleName", "Zavro Pellora"}});
  EXPECT_FALSE(AppDelegate::isInsideAppLoginItems(noIdentifier));
}

TEST_F(LocationCheck, EveryFolderNameIsComparedExactly) {
  EXPECT_FALSE(AppDelegate::isInsideAppLoginItems(layout("A.app", "com.zavro.Pellora", "Contents/Library/loginitems")));
  EXPECT_FALSE(AppDelegate::isInsideAppLoginItems(layout("B.app", "com.zavro.Pellora", "Contents/library/LoginItems")));
  EXPECT_FALSE(AppDelegate::isInsideAppLoginItems(layout("C.app", "com.zavro.Pellora", "Contents/Library/LoginItems/Extra")));
  EXPECT_FALSE(AppDelegate::isInsideAppLoginItems(layout("D.App")));
  EXPECT_FALSE(AppDelegate::isInsideAppLoginItems(layout("E")));
  EXPECT_FALSE(AppDelegate::isInsideAppLoginItems(layout("F.appex")));
  // The service bundle is the last component: its own folder is not looked into.
  EXPECT_FALSE(AppDelegate::isInsideAppLoginItems(layout("G.app") + "/Contents"));
}

TEST_F(LocationCheck, SymbolicLinksAreResolvedFirst) {
  const std::string service = layout("Zavro Pellora.app");
  // A link to the real place passes.
  fs::create_directory_symlink(service, dir_ / "Service.app");
  EXPECT_TRUE(AppDelegate::isInsideAppLoginItems(dir_ / "Service.app"));
  // A link in the right place to a bundle elsewhere does not.
  writeInfo(dir_ / "Elsewhere/Zavro Pellora Service.app", {{"CFBundleIdentifier", "com.zavro.Pellora.Service"}});
  const std::string loginItems = dir_ / "Linked.app/Contents/Library/LoginItems";
  writeInfo(dir_ / "Linked.app", {{"CFBundleIdentifier", "com.zavro.Pellora"}});
  fs::create_directories(loginItems);
  fs::create_directory_symlink(dir_ / "Elsewhere/Zavro Pellora Service.app", loginItems + "/Zavro Pellora Service.app");
  EXPECT_FALSE(AppDelegate::isInsideAppLoginItems(loginItems + "/Zavro Pellora Service.app"));
}

TEST(VersionComparison, RunsOfDigitsCompareAsNumbers) {
  EXPECT_GT(AppDelegate::compareVersions("1.2.10", "1.2.9"), 0);
  EXPECT_LT(AppDelegate::compareVersions("1.2.9", "1.2.10"), 0);
  EXPECT_GT(AppDelegate::compareVersions("10", "9"), 0);
  EXPECT_GT(AppDelegate::compareVersions("58", "57"), 0);
  EXPECT_EQ(AppDelegate::compareVersions("57", "57"), 0);
  EXPECT_EQ(AppDelegate::compareVersions("1.02", "1.2"), 0);
  EXPECT_GT(AppDelegate::compareVersions("2", "1.9.9"), 0);
  EXPECT_GT(AppDelegate::compareVersions("123456789012345678901234567890", "99999999999999999999"), 0);
}

TEST(VersionComparison, OtherCharactersCompareOneByOne) {
  // A longer version with the same beginning is the newer one.
  EXPECT_GT(AppDelegate::compareVersions("1.2.0", "1.2"), 0);
  EXPECT_LT(AppDelegate::compareVersions("0", "1"), 0);
  EXPECT_LT(AppDelegate::compareVersions("1.0a", "1.0b"), 0);
  EXPECT_GT(AppDelegate::compareVersions("1.0b2", "1.0b1"), 0);
  EXPECT_LT(AppDelegate::compareVersions("", "0"), 0);
  EXPECT_EQ(AppDelegate::compareVersions("", ""), 0);
}

}  // namespace
