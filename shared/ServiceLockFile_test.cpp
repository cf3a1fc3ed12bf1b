#include "ServiceLockFile.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "TempDir.h"

namespace {

using pellora::testing::TempDir;

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::string text;
  std::getline(in, text, '\0');
  return text;
}

TEST(ServiceLockFile, TheHolderLineIsReadBackAsPidAndVersion) {
  EXPECT_EQ(ServiceLockFile::parseLockHolder("812,57\n"), (LockHolder{812, "57"}));
  EXPECT_EQ(ServiceLockFile::parseLockHolder("  812,57\r\n"), (LockHolder{812, "57"}));
  EXPECT_EQ(ServiceLockFile::parseLockHolder("\xC2\xA0" "812,1.2.10\xE2\x80\xA8"), (LockHolder{812, "1.2.10"}));
  EXPECT_EQ(ServiceLockFile::parseLockHolder(",,812,,57,"), (LockHolder{812, "57"}));  // empty pieces drop
  EXPECT_EQ(ServiceLockFile::parseLockHolder("+812,57"), (LockHolder{812, "57"}));
  // Bytes after a zero byte are not looked at; invalid UTF-8 in the version is repaired.
  EXPECT_EQ(ServiceLockFile::parseLockHolder(std::string("812,57\0,9", 9)), (LockHolder{812, "57"}));
  EXPECT_EQ(ServiceLockFile::parseLockHolder("812,5\xFF"), (LockHolder{812, "5\xEF\xBF\xBD"}));

  for (const std::string bad : {"", "\n", "812", "812,", "0,57", "-4,57", "abc,57", "812 ,57",
                                "1,2,3", "2147483648,1", "+-5,1", "+,1", "81\xFF" "2,57"}) {
    EXPECT_FALSE(ServiceLockFile::parseLockHolder(bad).has_value()) << bad;
  }
}

TEST(ServiceLockFile, TheWriteRuleReplacesTheLineAndTheReadLeavesTheOffset) {
  TempDir home;
  ServiceLockFile::createHiddenFolder(home.path());
  struct stat st {};
  ASSERT_EQ(::stat(ServiceLockFile::hiddenFolderPath(home.path()).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  ::chmod(ServiceLockFile::hiddenFolderPath(home.path()).c_str(), 0755);
  ServiceLockFile::createHiddenFolder(home.path());  // tightened again when it was there
  ASSERT_EQ(::stat(ServiceLockFile::hiddenFolderPath(home.path()).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);

  const int fd = ServiceLockFile::openForHolder(home.path());
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::fstat(fd, &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_TRUE(ServiceLockFile::writeHolderLine(fd, 123456, "1.2.10-long-version-text"));
  ASSERT_TRUE(ServiceLockFile::writeHolderLine(fd, 812, ""));  // shorter: nothing of the old stays
  EXPECT_EQ(readFile(ServiceLockFile::lockFilePath(home.path())), "812,0\n");
  ::lseek(fd, 3, SEEK_SET);
  EXPECT_EQ(ServiceLockFile::readLockHolder(fd), (LockHolder{812, "0"}));
  EXPECT_EQ(::lseek(fd, 0, SEEK_CUR), 3);
  EXPECT_EQ(ServiceLockFile::readHolderPid(ServiceLockFile::lockFilePath(home.path())), 812);

  // Only 63 bytes are read: a version that runs past them is cut.
  ASSERT_TRUE(ServiceLockFile::writeHolderLine(fd, 7, std::string(100, 'v')));
  EXPECT_EQ(ServiceLockFile::readLockHolder(fd), (LockHolder{7, std::string(61, 'v')}));
  ::ftruncate(fd, 0);
  EXPECT_FALSE(ServiceLockFile::readLockHolder(fd).has_value());

  // After the holder's end the line stays, and the lock is free at once.
  ASSERT_TRUE(ServiceLockFile::writeHolderLine(fd, 812, "57"));
  ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
  const int probe = ServiceLockFile::openForProbe(home.path());
  ASSERT_GE(probe, 0);
  EXPECT_NE(::flock(probe, LOCK_SH | LOCK_NB), 0);
  ::close(fd);
  EXPECT_EQ(::flock(probe, LOCK_EX | LOCK_NB), 0);
  EXPECT_EQ(readFile(ServiceLockFile::lockFilePath(home.path())), "812,57\n");
  ::close(probe);
}

TEST(ServiceLockFile, ThePidReaderWithoutADescriptorTakesTheFirstPieceAsItIs) {
  EXPECT_EQ(ServiceLockFile::parseHolderPid("812,57\n"), 812);
  EXPECT_EQ(ServiceLockFile::parseHolderPid(",812,57"), 812);
  EXPECT_FALSE(ServiceLockFile::parseHolderPid(" 812,57").has_value());  // not trimmed
  EXPECT_FALSE(ServiceLockFile::parseHolderPid("812\xFF,57").has_value());
  EXPECT_FALSE(ServiceLockFile::parseHolderPid("").has_value());
  EXPECT_FALSE(ServiceLockFile::readHolderPid("/nonexistent/service.lock").has_value());
}

TEST(ServiceLockFile, TheStandbyMarkerHoldsThePidOfTheWaitingCopy) {
  TempDir home;
  EXPECT_FALSE(ServiceLockFile::readStandbyMarker(home.path()).has_value());
  ServiceLockFile::createHiddenFolder(home.path());
  ASSERT_TRUE(ServiceLockFile::writeStandbyMarker(home.path(), 4321));
  EXPECT_EQ(readFile(ServiceLockFile::standbyMarkerPath(home.path())), "4321");
  EXPECT_EQ(ServiceLockFile::readStandbyMarker(home.path()), 4321);
  ServiceLockFile::removeStandbyMarker(home.path());
  EXPECT_FALSE(ServiceLockFile::readStandbyMarker(home.path()).has_value());

  EXPECT_EQ(ServiceLockFile::parseStandbyMarker(" 4321\n"), 4321);
  for (const std::string bad : {"", "  ", "43x", "0", "-1", "4321,5"}) {
    EXPECT_FALSE(ServiceLockFile::parseStandbyMarker(bad).has_value()) << bad;
  }
  // Without the folder the marker cannot be written; that is no crash.
  TempDir bare;
  EXPECT_FALSE(ServiceLockFile::writeStandbyMarker(bare.path(), 1));
}

}  // namespace
