#include "bundle/Bundle.h"

#include <gtest/gtest.h>

#include "TempDir.h"
#include "bundle/PropertyList.h"
#include "bundle/StringsTable.h"

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

TEST(Bundle, InfoPropertyListValues) {
  TempDir dir;
  dir.write("S.app/Contents/Info.plist", R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0"><dict>
  <key>CFBundleIdentifier</key><string>com.zavro.Pellora.Service</string>
  <key>CFBundleExecutable</key><string>Zavro Pellora Service</string>
  <key>LSUIElement</key><true/>
  <key>Nested</key><dict><key>x</key><string>y</string></dict>
  <key>CFBundleVersion</key><integer>42</integer>
</dict></plist>)");
  const Bundle bundle(dir / "S.app");
  EXPECT_EQ(bundle.bundleIdentifier(), "com.zavro.Pellora.Service");
  EXPECT_EQ(bundle.infoString("LSUIElement"), "true");
  EXPECT_EQ(bundle.infoString("CFBundleVersion"), "42");
  EXPECT_FALSE(bundle.infoString("Nested").has_value());
  EXPECT_FALSE(bundle.infoString("x").has_value());
  EXPECT_EQ(bundle.executablePath(), dir / "S.app/Contents/MacOS/Zavro Pellora Service");
  EXPECT_TRUE(Bundle(dir / "missing.app").infoDictionary().empty());
}

TEST(PropertyList, WrittenListsReadBack) {
  const std::map<std::string, std::string> values = {{"CFBundleIdentifier", "a&b<c>"},
                                                     {"CFBundleVersion", "1.2"}};
  EXPECT_EQ(parsePropertyList(writePropertyList(values)), values);
  // Values of blanks only and carriage returns are kept as they were.
  const std::map<std::string, std::string> blanks = {{" ", " "}, {"tab", "\t"}, {"cr", "a\rb\r\n"}};
  EXPECT_EQ(parsePropertyList(writePropertyList(blanks)), blanks);
  EXPECT_TRUE(parsePropertyList("not xml").empty());
}

TEST(StringsTable, ReadsKeysTranslationsAndComments) {
  const auto table = parseStringsTable(R"(/* The menu item for one stub */
"zavro_menu_bring_file" = "Bring File Online";
// a line comment
"quoted" = "Say \"hi\"\n";
"broken" = ;
"after" = "still read";)");
  EXPECT_EQ(table.at("zavro_menu_bring_file"), "Bring File Online");
  EXPECT_EQ(table.at("quoted"), "Say \"hi\"\n");
  EXPECT_EQ(table.at("after"), "still read");
  EXPECT_EQ(table.count("broken"), 0u);
}

TEST(Bundle, LocalizedStringsFallBackToTheKey) {
  TempDir dir;
  dir.write("S.app/Contents/Resources/en.lproj/Localizable.strings", "\"known\" = \"Known text\";\n");
  const Bundle bundle(dir / "S.app");
  EXPECT_EQ(bundle.localizedString("known"), "Known text");
  EXPECT_EQ(bundle.localizedString("unknown"), "unknown");
  EXPECT_EQ(bundle.localizedString("unknown", "default"), "default");
  EXPECT_EQ(Bundle(dir / "none.app").localizedString("known"), "known");
}

}  // namespace
}  // namespace platform::bundle
