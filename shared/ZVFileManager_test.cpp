#include "ZVFileManager.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "TempDir.h"
#include "dispatch/RunLoop.h"
#include "log/Capture.h"
#include "xattr/Xattr.h"

namespace {

using namespace std::chrono_literals;
using pellora::testing::TempDir;
using platform::dispatch::RunLoop;

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

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

class CommunicationFileTest : public ::testing::Test {
 protected:
  void SetUp() override { ::setenv("XDG_DATA_HOME", (dir / "data").c_str(), 1); }
  void TearDown() override { ::unsetenv("XDG_DATA_HOME"); }
  TempDir dir;
};

TEST_F(CommunicationFileTest, FirstUseMakesTheFoldersAndReadsNothing) {
  platform::log::Capture capture;
  ZVFileManager files;
  EXPECT_EQ(files.communicationFileURL(),
            dir / "data/com.zavro.Pellora.shared/Communication/commnuication_file.json");
  EXPECT_TRUE(std::filesystem::is_directory(dir / "data/com.zavro.Pellora.shared/Communication"));
  EXPECT_FALSE(std::filesystem::exists(*files.communicationFileURL()));
  EXPECT_FALSE(files.previewStateEnabled().has_value());
  EXPECT_TRUE(capture.contains("Could not read"));
}

TEST_F(CommunicationFileTest, WritesReplaceTheFileWithCompactJson) {
  ZVFileManager files;
  files.setPreviewStateEnabled(false);
  EXPECT_EQ(readFile(*files.communicationFileURL()), R"({"previewEnabled":false})");
  EXPECT_EQ(files.previewStateEnabled(), false);
  files.setPreviewStateEnabled(true);
  EXPECT_EQ(ZVFileManager().previewStateEnabled(), true);  // another instance reads the same file
  platform::log::Capture capture;
  files.setPreviewStateEnabled(std::nullopt);
  EXPECT_TRUE(capture.contains("Error writing previewState value"));
  EXPECT_EQ(readFile(*files.communicationFileURL()), R"({"previewEnabled":true})");
}

TEST_F(CommunicationFileTest, ContentOfTheWrongShapeReadsAsNothing) {
  ZVFileManager files;
  for (const char* content : {R"({"previewEnabled":1})", "{}", "[true]", "not json", ""}) {
    std::ofstream(*files.communicationFileURL(), std::ios::trunc) << content;
    EXPECT_FALSE(files.previewStateEnabled().has_value()) << content;
  }
  std::ofstream(*files.communicationFileURL(), std::ios::trunc) << R"({"other":1,"previewEnabled":false})";
  EXPECT_EQ(files.previewStateEnabled(), false);
}

TEST_F(CommunicationFileTest, FoldersAreWorkedOutOncePerObject) {
  ZVFileManager files;
  const auto first = files.communicationDir();
  std::filesystem::remove_all(*first);
  EXPECT_EQ(files.communicationDir(), first);  // kept, and not made again by this object
  EXPECT_FALSE(std::filesystem::exists(*first));
  EXPECT_EQ(ZVFileManager().communicationDir(), first);  // a new object makes it again
  EXPECT_TRUE(std::filesystem::exists(*first));
}

class AggregationTest : public ::testing::Test {
 protected:
  // Runs one aggregation and serves the main queue until its completion.
  std::pair<std::vector<std::string>, std::optional<ZVError>> aggregate(
      const std::vector<std::string>& paths) {
    std::optional<std::pair<std::vector<std::string>, std::optional<ZVError>>> result;
    bool onMain = false;
    files->fileAggregation(paths, [&](FileList urls, std::optional<ZVError> e) {
      onMain = RunLoop::isMainThread();
      result.emplace(urls.toVector(), std::move(e));
    });
    EXPECT_TRUE(RunLoop::main()->runUntil([&] { return result.has_value(); }, 10s));
    EXPECT_TRUE(onMain);
    return result.value_or(std::make_pair(std::vector<std::string>{}, std::optional<ZVError>()));
  }

  static std::vector<std::string> sorted(std::vector<std::string> v) {
    std::sort(v.begin(), v.end());
    return v;
  }

  TempDir dir;
  std::shared_ptr<ZVFileManager> files = std::make_shared<ZVFileManager>();
};

TEST_F(AggregationTest, EmptySelectionGivesNothing) {
  const auto [urls, error] = aggregate({});
  EXPECT_TRUE(urls.empty());
  EXPECT_FALSE(error.has_value());
  EXPECT_FALSE(files->aggregationQueue());
}

TEST_F(AggregationTest, FoldersExpandIntoTheirFilesAndDuplicatesStay) {
  const std::string a = dir.write("sel/a.txt");
  const std::string b = dir.write("sel/sub/b.txt");
  const std::string hidden = dir.write("sel/.hidden");
  dir.mkdir("sel/empty");
  const std::string link = dir / "sel/link";
  ASSERT_EQ(::symlink((dir / "sel/sub").c_str(), link.c_str()), 0);
  const std::string missing = dir / "missing.bin";
  const auto [urls, error] = aggregate({dir / "sel", a, missing});
  ASSERT_FALSE(error.has_value());
  ASSERT_EQ(urls.size(), 6u);
  // The folder's entries first (in the directory's order), then the selected file again, then
  // the missing path unchanged.
  EXPECT_EQ(sorted({urls.begin(), urls.begin() + 4}), sorted({a, b, hidden, link}));
  EXPECT_EQ(urls[4], a);
  EXPECT_EQ(urls[5], missing);
}

TEST_F(AggregationTest, ManagerGoneSkipsTheRestAndStillCompletes) {
  dir.write("big/" + std::string("f"));
  std::optional<std::vector<std::string>> result;
  files->fileAggregation({dir / "big"}, [&](FileList urls, std::optional<ZVError>) {
    result = urls.toVector();
  });
  files.reset();
  ASSERT_TRUE(RunLoop::main()->runUntil([&] { return result.has_value(); }, 10s));
  EXPECT_LE(result->size(), 1u);
}

}  // namespace
