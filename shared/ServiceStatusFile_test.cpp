#include "ServiceStatusFile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "TempDir.h"

namespace {

using pellora::testing::TempDir;

std::string readFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(ServiceStatusFile, WrittenWholeForTheUserAloneAndReadBack) {
  TempDir home;
  const ServiceStatusFile file(home.path());
  EXPECT_EQ(file.path(), home / ".zavroPellora/status.json");
  EXPECT_FALSE(file.read());
  const ServiceStatus status{4242, "1.0.0", "57", {"/mnt/gateway", "/mnt/R\xC3\xA9sum\xC3\xA9"}, 1};
  ASSERT_TRUE(file.write(status));
  EXPECT_EQ(file.read(), status);
  struct stat st {};
  ASSERT_EQ(::stat(file.path().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  ASSERT_EQ(::stat((home / ".zavroPellora").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0700u);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(home / ".zavroPellora"), {}), 1);  // no temporary left

  // A symbolic link put at the path is replaced, never written through.
  const std::string elsewhere = home.write("elsewhere", "theirs");
  ASSERT_EQ(::unlink(file.path().c_str()), 0);
  ASSERT_EQ(::symlink(elsewhere.c_str(), file.path().c_str()), 0);
  EXPECT_FALSE(file.read());
  ASSERT_TRUE(file.write(status));
  EXPECT_EQ(readFile(elsewhere), "theirs");
  EXPECT_EQ(file.read(), status);

  // The copy that goes removes its own file only.
  file.removeIfWrittenBy(77);
  EXPECT_TRUE(file.read());
  file.removeIfWrittenBy(4242);
  EXPECT_FALSE(std::filesystem::exists(file.path()));
}

TEST(ServiceStatusFile, OnlyAnObjectWithAPidIsAStatus) {
  EXPECT_EQ(ServiceStatusFile::decode(R"({"pid": 12})"), (ServiceStatus{12, "", "", {}, 0}));
  // Members of another type are left out.
  EXPECT_EQ(ServiceStatusFile::decode(R"({"pid": 12, "version": 1, "shares": ["/a", 3, "/b"], "extensionConnections": "1"})"),
            (ServiceStatus{12, "", "", {"/a", "/b"}, 0}));
  for (const char* bad : {"", "[]", "{}", R"({"pid": 0})", R"({"pid": -3})", R"({"pid": "12"})",
                          R"({"pid": 12.5})", R"({"pid": 4294967296})", "{\"pid\": 12"}) {
    EXPECT_FALSE(ServiceStatusFile::decode(bad)) << bad;
  }
  const ServiceStatus status{9, "2.0", "3", {"/x"}, 0};
  EXPECT_EQ(ServiceStatusFile::decode(ServiceStatusFile::encode(status)), status);
}

}  // namespace
