#include "Populate.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "StubFiles.h"
#include "TempDir.h"

namespace pellora::gatewaysim {
namespace {

using pellora::testing::TempDir;
namespace fs = std::filesystem;

std::string contentOf(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

size_t filesUnder(const std::string& root) {
  size_t n = 0;
  for (const auto& entry : fs::recursive_directory_iterator(root)) n += entry.is_regular_file();
  return n;
}

TEST(Populate, ContentIsThePathRepeatedToSize) {
  EXPECT_EQ(populatedContent("ab", 7), "ab\nab\na");
  EXPECT_EQ(populatedContent("ab", 0), "");
}

TEST(Populate, MakesStubsInTheCacheAndContentInTheCloud) {
  TempDir dir;
  PopulateOptions options{dir.mkdir("b"), dir.mkdir("c"), 3, 4, 100, 2};
  std::string error;
  ASSERT_EQ(populate(options, error), 0) << error;
  EXPECT_EQ(filesUnder(options.backing), 3u * (4 + 2));
  EXPECT_EQ(filesUnder(options.cloud), 3u * (4 + 2));

  const std::string rel = "folder-0002/stub-00003.dat";
  EXPECT_TRUE(isStubFile(options.backing + "/" + rel));
  EXPECT_EQ(fs::file_size(options.backing + "/" + rel), 0u);
  EXPECT_EQ(contentOf(options.cloud + "/" + rel), populatedContent(rel, 100));

  const std::string online = "folder-0001/online-00001.dat";
  EXPECT_FALSE(isStubFile(options.backing + "/" + online));
  EXPECT_EQ(contentOf(options.backing + "/" + online), populatedContent(online, 100));
}

TEST(Populate, AnOnlineFileReplacingAStubLosesTheMarker) {
  TempDir dir;
  const std::string b = dir.mkdir("b"), c = dir.mkdir("c");
  dir.write("b/folder-0000/online-00000.dat", "");
  ASSERT_EQ(markStub(dir / "b/folder-0000/online-00000.dat"), 0);
  std::string error;
  ASSERT_EQ(populate({b, c, 1, 0, 10, 1}, error), 0) << error;
  EXPECT_FALSE(isStubFile(dir / "b/folder-0000/online-00000.dat"));
}

TEST(Populate, ReportsWhatFailed) {
  TempDir dir;
  std::string error;
  EXPECT_EQ(populate({dir / "missing/b", dir.mkdir("c"), 1, 1, 10, 0}, error), ENOENT);
  EXPECT_NE(error.find("missing/b"), std::string::npos);
}

}  // namespace
}  // namespace pellora::gatewaysim
