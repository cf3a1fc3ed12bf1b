#include "AttrManager.h"

#include <gtest/gtest.h>

#include "TempDir.h"
#include "xattr/Xattr.h"

namespace {

using pellora::testing::TempDir;

TEST(AttrManager, KeysAreTheGatewayNames) {
  EXPECT_EQ(AttrManager::Keys::isStub, "is.zavro.stub");
  EXPECT_EQ(AttrManager::Keys::isZavro, "is.zavro.share");
  EXPECT_EQ(AttrManager::Keys::zavroValue, "ZAVRO");
}

TEST(AttrManager, StubAndShareMarkersAreIndependent) {
  TempDir dir;
  const std::string root = dir.mkdir("share");
  const std::string file = dir.write("share/file");
  ASSERT_EQ(platform::xattr::set(root, "is.zavro.share", "ZAVRO", 5, 0, 0), 0);
  ASSERT_EQ(platform::xattr::set(file, "is.zavro.stub", "ZAVRO", 5, 0, 0), 0);
  const AttrManager attrs;
  EXPECT_TRUE(attrs.isZavroMount(root));
  EXPECT_FALSE(attrs.isStub(root));
  EXPECT_TRUE(attrs.isStub(file));
  EXPECT_FALSE(attrs.isZavroMount(file));
  // Another attribute with the right value means nothing.
  const std::string other = dir.write("other");
  ASSERT_EQ(platform::xattr::set(other, "is.zavro.stubx", "ZAVRO", 5, 0, 0), 0);
  EXPECT_FALSE(attrs.isStub(other));
}

}  // namespace
