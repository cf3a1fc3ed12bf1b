#include "core/IconFrames.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "TempDir.h"
#include "xattr/Xattr.h"

namespace {

using nlohmann::json;
using pellora::testing::TempDir;

TEST(IconFrames, FilterPathsSplitAtLineFeedCarriageReturn) {
  EXPECT_STREQ(setFilterPath("/mnt/a\n\r/mnt/b"),
               R"({"command":"setFilterPaths","value":["/mnt/a","/mnt/b"]})");
  EXPECT_STREQ(setFilterPath(""), R"({"command":"setFilterPaths","value":[""]})");
  // CR LF is not the separator: the text stays one path.
  EXPECT_EQ(json::parse(setFilterPath("/a\r\n/b"))["value"].size(), 1u);
}

TEST(IconFrames, RefreshCarriesTheStrictBadge) {
  TempDir dir;
  const std::string stub = dir.write("s");
  const std::string six = dir.write("six");
  platform::xattr::set(stub, "is.zavro.stub", "ZAVRO", 5, 0, 0);
  platform::xattr::set(six, "is.zavro.stub", "ZAVROX", 6, 0, 0);
  EXPECT_EQ(json::parse(_refreshFileIcon(stub.c_str())),
            json({{"command", "setFileIcons"}, {"value", {{stub, "FileIconCache"}}}}));
  EXPECT_EQ(json::parse(_refreshFileIcon(six.c_str()))["value"][six], "FileIconNone");
  const std::string missing = dir / "missing";
  EXPECT_EQ(json::parse(_refreshFileIcon(missing.c_str()))["value"][missing], "FileIconNone");
}

TEST(IconFrames, IconFrameNamesTheBundleResource) {
  TempDir dir;
  const std::string image = dir.write("S.app/Contents/Resources/zavroMacPellora.icns", "icns");
  const std::string frame = registerIconFrame(platform::bundle::Bundle(dir / "S.app"));
  EXPECT_EQ(json::parse(frame),
            json({{"command", "registerIconWithId"},
                  {"value", {{"path", image}, {"label", "FileIconCache"}, {"iconId", "FileIconCache"}}}}));
  EXPECT_EQ(frame.find('\n'), std::string::npos);
}

TEST(IconFrames, MissingResourceGivesTheEmptyText) {
  TempDir dir;
  dir.mkdir("S.app/Contents/Resources");
  EXPECT_EQ(registerIconFrame(platform::bundle::Bundle(dir / "S.app")), "");
  EXPECT_EQ(registerIconFrame(std::nullopt), "");
  EXPECT_STREQ(registerIcon(), "");  // this test program lives outside a bundle
}

TEST(IconFrames, PathsThatAreNotUtf8GiveTheEmptyText) {
  EXPECT_EQ(refreshFileIconFrame("/tmp/\xff\xfe"), "");
  EXPECT_EQ(setFilterPathFrame("/ok\n\r/\xff"), "");
}

}  // namespace
