#include "bundle/Bundle.h"

#include <gtest/gtest.h>

#include "TempDir.h"

namespace platform::bundle {
namespace {

using pellora::testing::TempDir;

TEST(Bundle, FoundFromItsExecutable) {
  TempDir dir;
  const std::string exe = dir.write("Zavro Pellora.app/Contents/MacOS/Zavro Pellora", "");
  const auto bundle = Bundle::containing(exe);
  ASSERT_TRUE(bundle.has_value());
  EXPECT_EQ(bundle->path(), dir / "Zavro Pellora.app");
  EXPECT_EQ(bundle->resourcePath(), dir / "Zavro Pellora.app/Contents/Resources");
  const auto ext = Bundle::containing(dir.write("X.appex/Contents/MacOS/PelloraFinder", ""));
  ASSERT_TRUE(ext.has_value());
  EXPECT_EQ(ext->path(), dir / "X.appex");
}

TEST(Bundle, ProgramsOutsideABundleHaveNone) {
  TempDir dir;
  EXPECT_FALSE(Bundle::containing(dir.write("bin/tool", "")).has_value());
  EXPECT_FALSE(Bundle::containing(dir.write("X.app/Contents/bin/tool", "")).has_value());
  EXPECT_FALSE(Bundle::containing(dir.write("X.folder/Contents/MacOS/tool", "")).has_value());
  EXPECT_FALSE(Bundle::main().has_value());  // the test binary is not in a bundle
}

TEST(Bundle, ResourcesByNameAndType) {
  TempDir dir;
  dir.write("S.app/Contents/Resources/zavroMacPellora.icns", "icns");
  dir.mkdir("S.app/Contents/Resources/folder.icns");
  const Bundle bundle(dir / "S.app");
  EXPECT_EQ(bundle.pathForResource("zavroMacPellora", "icns"),
            dir / "S.app/Contents/Resources/zavroMacPellora.icns");
  EXPECT_FALSE(bundle.pathForResource("zavroMacPellora", "png").has_value());
  EXPECT_FALSE(bundle.pathForResource("folder", "icns").has_value());
}

}  // namespace
}  // namespace platform::bundle
