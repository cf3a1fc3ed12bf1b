#include "xattr/Xattr.h"

#include <gtest/gtest.h>
#include <sys/xattr.h>

#include <string>

#include "TempDir.h"

namespace platform::xattr {
namespace {

using pellora::testing::TempDir;

TEST(Xattr, NamesMapToTheUserNamespace) {
  TempDir dir;
  const std::string file = dir.write("f");
  ASSERT_EQ(set(file, "is.zavro.stub", "ZAVRO", 5, 0, 0), 0);
  char raw[16] = {};
  EXPECT_EQ(::getxattr(file.c_str(), "user.is.zavro.stub", raw, sizeof raw), 5);
  EXPECT_EQ(std::string(raw), "ZAVRO");
  char buf[16] = {};
  EXPECT_EQ(get(file, "is.zavro.stub", buf, sizeof buf, 0, kShowCompression), 5);
  EXPECT_EQ(std::string(buf), "ZAVRO");
  EXPECT_EQ(get(file, "is.zavro.stub", nullptr, 0, 0, 0), 5);  // size query
}

TEST(Xattr, FailuresKeepTheirCause) {
  TempDir dir;
  const std::string file = dir.write("f");
  char buf[4];
  errno = 0;
  EXPECT_EQ(get(file, "is.zavro.stub", buf, sizeof buf, 0, 0), -1);
  EXPECT_EQ(errno, kNoAttr);
  ASSERT_EQ(set(file, "is.zavro.stub", "ZAVROX", 6, 0, 0), 0);
  EXPECT_EQ(get(file, "is.zavro.stub", buf, sizeof buf, 0, 0), -1);
  EXPECT_EQ(errno, ERANGE);
  EXPECT_EQ(get(dir / "missing", "is.zavro.stub", buf, sizeof buf, 0, 0), -1);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(get(file, "is.zavro.stub", buf, sizeof buf, 7, 0), -1);
  EXPECT_EQ(errno, EINVAL);
  ASSERT_EQ(remove(file, "is.zavro.stub", 0), 0);
  EXPECT_EQ(get(file, "is.zavro.stub", nullptr, 0, 0, 0), -1);
  EXPECT_EQ(errno, kNoAttr);
}

}  // namespace
}  // namespace platform::xattr
