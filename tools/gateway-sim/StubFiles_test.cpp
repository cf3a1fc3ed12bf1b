#include "StubFiles.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "TempDir.h"

namespace pellora::gatewaysim {
namespace {

using pellora::testing::TempDir;

void setMarker(const std::string& path, const std::string& value) {
  ASSERT_EQ(::lsetxattr(path.c_str(), kStubAttribute, value.data(), value.size(), 0), 0);
}

TEST(StubFiles, OnlyAMissingMarkerOrAnotherValueMeansNotAStub) {
  TempDir dir;
  const std::string stub = dir.write("stub");
  setMarker(stub, "ZAVRO");
  const std::string online = dir.write("online", "content");
  const std::string odd = dir.write("odd");
  setMarker(odd, "zavro");
  const std::string longer = dir.write("longer");
  setMarker(longer, "ZAVRO and more");  // longer than the buffer the test reads into

  EXPECT_TRUE(testStubFile(stub).stub);
  EXPECT_EQ(testStubFile(stub).error, 0);
  for (const auto& path : {online, odd, longer, dir.mkdir("folder")}) {
    const StubTest test = testStubFile(path);
    EXPECT_FALSE(test.stub) << path;
    EXPECT_EQ(test.error, 0) << path;
  }

  const int fd = ::open(stub.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  EXPECT_TRUE(testStubFd(fd).stub);
  ::close(fd);
}

TEST(StubFiles, AFileThatCannotBeLookedAtIsNeitherStubNorOnline) {
  TempDir dir;
  const StubTest gone = testStubFile(dir / "gone");
  EXPECT_FALSE(gone.stub);
  EXPECT_EQ(gone.error, ENOENT);
  EXPECT_FALSE(isStubFile(dir / "gone"));
  EXPECT_EQ(testStubFd(-1).error, EBADF);
}

}  // namespace
}  // namespace pellora::gatewaysim
