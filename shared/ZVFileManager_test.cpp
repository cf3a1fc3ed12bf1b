#include "ZVFileManager.h"

#include <gtest/gtest.h>

#include "TempDir.h"
#include "xattr/Xattr.h"

namespace {

using pellora::testing::TempDir;

TEST(ZVFileManager, ClassifiesSelectedItems) {
  TempDir dir;
  const std::string stub = dir.write("stub.bin");
  const std::string online = dir.write("online.txt", "x");
  const std::string folder = dir.mkdir("folder");
  platform::xattr::set(stub, "is.zavro.stub", "ZAVRO", 5, 0, 0);
  // A marked folder is still a folder: folders get no stub test.
  platform::xattr::set(folder, "is.zavro.stub", "ZAVRO", 5, 0, 0);
  const ZVFileManager files;
  EXPECT_EQ(files.isDir(stub), ZVFileManager::Result::stubFile);
  EXPECT_EQ(files.isDir(online), ZVFileManager::Result::onlineFile);
  EXPECT_EQ(files.isDir(folder), ZVFileManager::Result::folder);
  EXPECT_EQ(files.isDir(dir / "gone"), ZVFileManager::Result::missing);
  EXPECT_EQ(static_cast<int>(ZVFileManager::Result::missing), 3);
}

}  // namespace
