#include "FolderPaths.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "TempDir.h"

namespace pellora::host {
namespace {

using pellora::testing::TempDir;

TEST(FolderPaths, NormalPathsAreAbsoluteWithoutATrailingSlash) {
  EXPECT_EQ(normalPath("/a/b/"), "/a/b");
  EXPECT_EQ(normalPath("/a//b/./c/../d"), "/a/b/d");
  EXPECT_EQ(normalPath("/"), "/");
  char cwd[4096];
  ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
  EXPECT_EQ(normalPath("x/y"), std::string(cwd) + "/x/y");
}

TEST(FolderPaths, AtOrBelowMeansWholeNames) {
  EXPECT_TRUE(isAtOrBelow("/a/b", "/a/b"));
  EXPECT_TRUE(isAtOrBelow("/a/b/c", "/a/b"));
  EXPECT_FALSE(isAtOrBelow("/a/bc", "/a/b"));
  EXPECT_FALSE(isAtOrBelow("/a", "/a/b"));
  EXPECT_TRUE(isAtOrBelow("/anything", "/"));
  EXPECT_TRUE(isCovered("/s/x/y", {"/t", "/s/x"}));
  EXPECT_FALSE(isCovered("/s/xy", {"/t", "/s/x"}));
  EXPECT_EQ(parentOf("/a/b"), "/a");
  EXPECT_EQ(parentOf("/a"), "/");
  EXPECT_EQ(childOf("/", "a"), "/a");
  EXPECT_EQ(childOf("/a", "b"), "/a/b");
}

TEST(FolderPaths, ItemsInNameOrderWithoutHiddenOnes) {
  TempDir dir;
  dir.write("f/b", "");
  dir.write("f/B", "");
  dir.write("f/a", "");
  dir.write("f/.dot", "");
  dir.mkdir("f/c");
  EXPECT_EQ(listItems(dir / "f"), (std::vector<std::string>{"B", "a", "b", "c"}));
  EXPECT_FALSE(listItems(dir / "f/a").has_value());
  EXPECT_FALSE(listItems(dir / "missing").has_value());
}

}  // namespace
}  // namespace pellora::host
