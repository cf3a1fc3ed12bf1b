#include "Hydrator.h"

#include <gtest/gtest.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "StubFiles.h"
#include "TempDir.h"

namespace pellora::gatewaysim {
namespace {

using pellora::testing::TempDir;

std::string contentOf(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// A plain folder stands in for the mount point: the hydrator only needs a path to write to.
class HydratorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir.mkdir("mnt");
    dir.mkdir("cloud");
  }
  std::string stub(const std::string& rel, const std::string& content) {
    const std::string path = dir.write("mnt/" + rel, "");
    EXPECT_EQ(markStub(path), 0);
    dir.write("cloud/" + rel, content);
    return path;
  }

  TempDir dir;
  StopSignal stop;
  Counters counters;
  Hydrator hydrator{dir / "mnt", dir / "cloud", stop, counters};
};

TEST_F(HydratorTest, CopiesTheCloudContentAndDropsTheMarker) {
  const std::string path = stub("d/f.txt", std::string(3 << 20, 'z') + "end");
  hydrator.start();
  EXPECT_EQ(hydrator.hydrate("d/f.txt"), 0);
  EXPECT_EQ(contentOf(path), std::string(3 << 20, 'z') + "end");
  EXPECT_FALSE(isStubFile(path));
  EXPECT_EQ(::getxattr(path.c_str(), kStubAttribute, nullptr, 0), -1);
  EXPECT_EQ(counters.toJson()["downloads"]["d/f.txt"], 1);
}

TEST_F(HydratorTest, AnOnlineFileIsLeftAlone) {
  const std::string path = dir.write("mnt/f", "local");
  dir.write("cloud/f", "cloud");
  hydrator.start();
  EXPECT_EQ(hydrator.hydrate("f"), 0);
  EXPECT_EQ(contentOf(path), "local");
  EXPECT_FALSE(counters.toJson()["downloads"].contains("f"));
}

TEST_F(HydratorTest, WithoutCloudContentTheStubStays) {
  const std::string path = dir.write("mnt/g", "");
  ASSERT_EQ(markStub(path), 0);
  hydrator.start();
  EXPECT_EQ(hydrator.hydrate("g"), ENOENT);
  EXPECT_TRUE(isStubFile(path));
}

// The mount detached mid-download (a lazy unmount): the file is not there to bring online, and
// saying it is online would hide that.
TEST_F(HydratorTest, AFileGoneFromTheMountFails) {
  dir.write("cloud/away", "cloud");
  hydrator.start();
  EXPECT_EQ(hydrator.hydrate("away"), ENOENT);
  EXPECT_FALSE(counters.toJson()["downloads"].contains("away"));
}

TEST_F(HydratorTest, ConcurrentCallsDownloadOnce) {
  const std::string path = stub("h", "content");
  hydrator.start();
  std::vector<std::thread> threads;
  std::vector<int> results(6, -1);
  for (size_t i = 0; i < results.size(); ++i) {
    threads.emplace_back([&, i] { results[i] = hydrator.hydrate("h"); });
  }
  for (auto& t : threads) t.join();
  for (int r : results) EXPECT_EQ(r, 0);
  EXPECT_EQ(contentOf(path), "content");
  EXPECT_EQ(counters.toJson()["downloads"]["h"], 1);
}

TEST_F(HydratorTest, CallsAfterStopOrAStopSignalEndWithEintr) {
  stub("i", "x");
  hydrator.start();
  stop.trigger();
  EXPECT_EQ(hydrator.hydrate("i"), EINTR);
  hydrator.stop();
  EXPECT_EQ(hydrator.hydrate("i"), EINTR);
  EXPECT_TRUE(isStubFile(dir / "mnt/i"));
}

TEST_F(HydratorTest, OnlyTheWorkerIsInternal) {
  hydrator.start();
  EXPECT_FALSE(hydrator.isInternal(::gettid()));
  EXPECT_FALSE(hydrator.isInternal(0));
}

}  // namespace
}  // namespace pellora::gatewaysim
