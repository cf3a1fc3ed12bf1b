#include "fsevents/EventStream.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "TempDir.h"
#include "xattr/Xattr.h"

namespace platform::fsevents {
namespace {

using namespace std::chrono_literals;
using pellora::testing::TempDir;

class EventStreamTest : public ::testing::Test {
 protected:
  void open(const std::string& root, std::chrono::milliseconds latency = 30ms) {
    stream = EventStream::create(root, latency, [this](const std::vector<Event>& batch) {
      batches.push_back(batch);
    });
    ASSERT_TRUE(stream);
    stream->scheduleWithRunLoop(loop);
    ASSERT_TRUE(stream->start());
  }

  // Serves the loop until some delivered event matches.
  bool waitFor(const std::string& path, uint32_t flags, std::chrono::milliseconds timeout = 5s) {
    return loop->runUntil([&] { return find(path, flags) != nullptr; }, timeout);
  }

  const Event* find(const std::string& path, uint32_t flags) const {
    for (const auto& batch : batches) {
      for (const auto& e : batch) {
        if (e.path == path && (e.flags & flags) == flags) return &e;
      }
    }
    return nullptr;
  }

  TempDir dir;
  std::shared_ptr<dispatch::RunLoop> loop = std::make_shared<dispatch::RunLoop>();
  std::unique_ptr<EventStream> stream;
  std::vector<std::vector<Event>> batches;
};

TEST_F(EventStreamTest, FileChangesArriveAsOneBatchAfterTheLatency) {
  open(dir.path(), 200ms);
  const auto start = dispatch::Clock::now();
  const std::string file = dir.write("a.txt", "x");
  std::ofstream(file, std::ios::app) << "more";
  ASSERT_TRUE(waitFor(file, kItemCreated | kItemIsFile));
  EXPECT_GE(dispatch::Clock::now() - start, 200ms);
  ASSERT_EQ(batches.size(), 1u);
  EXPECT_TRUE(find(file, kItemModified | kItemIsFile));
}

TEST_F(EventStreamTest, AttributeChangesAndRenamesAreReported) {
  const std::string file = dir.write("stub.bin");
  open(dir.path());
  xattr::set(file, "is.zavro.stub", "ZAVRO", 5, 0, 0);
  EXPECT_TRUE(waitFor(file, kItemXattrMod | kItemIsFile));
  const std::string moved = dir / "moved.bin";
  std::filesystem::rename(file, moved);
  EXPECT_TRUE(waitFor(file, kItemRenamed));
  EXPECT_TRUE(waitFor(moved, kItemRenamed));
  std::filesystem::remove(moved);
  EXPECT_TRUE(waitFor(moved, kItemRemoved | kItemIsFile));
}

TEST_F(EventStreamTest, WatchesTheWholeTreeIncludingFoldersMadeLater) {
  dir.write("a/b/c/old.txt");
  open(dir.path());
  EXPECT_EQ(stream->watchedFolders(), 4u);
  const std::string deep = dir.write("a/b/c/new.txt");
  EXPECT_TRUE(waitFor(deep, kItemCreated));
  // A folder made now: its content may come before its watch, so it is to be rescanned.
  const std::string fresh = dir.mkdir("a/fresh/inner");
  EXPECT_TRUE(waitFor(dir / "a/fresh", kMustScanSubDirs | kItemIsDir));
  EXPECT_TRUE(waitFor(fresh, kMustScanSubDirs | kItemIsDir));
  const std::string later = dir.write("a/fresh/inner/later.txt");
  EXPECT_TRUE(waitFor(later, kItemCreated | kItemIsFile));
}

TEST_F(EventStreamTest, BatchesNeverMixFileEventsWithRescans) {
  open(dir.path(), 300ms);
  dir.write("before.txt");
  dir.mkdir("folder");
  dir.write("folder/after.txt");  // may or may not beat the watch
  dir.write("last.txt");
  ASSERT_TRUE(waitFor(dir / "last.txt", kItemCreated));
  for (const auto& batch : batches) {
    bool files = false, rescans = false;
    for (const auto& e : batch) {
      if (e.flags & kMustScanSubDirs) rescans = true;
      else if (e.flags & kItemIsFile) files = true;
    }
    EXPECT_FALSE(files && rescans);
  }
  EXPECT_TRUE(find(dir / "folder", kMustScanSubDirs));
}

TEST_F(EventStreamTest, RootRemovedAndCreatedAgain) {
  const std::string root = dir.mkdir("root");
  dir.write("root/sub/file");
  open(root);
  std::filesystem::remove_all(root);
  ASSERT_TRUE(waitFor(root, kRootChanged));
  batches.clear();
  dir.mkdir("root");
  ASSERT_TRUE(waitFor(root, kRootChanged));
  const std::string file = dir.write("root/again.txt");
  EXPECT_TRUE(waitFor(file, kItemCreated));
}

TEST_F(EventStreamTest, FolderMovedAwayStopsReportingItsContent) {
  const std::string root = dir.mkdir("root");
  dir.mkdir("root/away");
  open(root);
  std::filesystem::rename(root + "/away", dir / "outside");
  ASSERT_TRUE(waitFor(root + "/away", kItemRenamed | kItemIsDir));
  EXPECT_EQ(stream->watchedFolders(), 1u);
  dir.write("outside/file");
  const std::string marker = dir.write("root/marker");
  ASSERT_TRUE(waitFor(marker, kItemCreated));
  EXPECT_FALSE(find(dir / "outside/file", 0));
  EXPECT_FALSE(find(root + "/away/file", 0));
}

TEST_F(EventStreamTest, FlushDeliversAtOnce) {
  open(dir.path(), 10s);
  const std::string file = dir.write("f");  // queued by the kernel as the call returns
  stream->flushSync();
  EXPECT_TRUE(find(file, kItemCreated));
}

TEST_F(EventStreamTest, QueueOverflowAsksToRescanEveryFolder) {
  dir.mkdir("one");
  dir.mkdir("two");
  open(dir.path());
  long limit = 16384;
  std::ifstream("/proc/sys/fs/inotify/max_queued_events") >> limit;
  if (limit > 200000) GTEST_SKIP() << "inotify queue too deep to overflow quickly";
  // More events than the kernel queue holds, while nobody reads.
  for (long i = 0; i <= limit; ++i) {
    std::ofstream(dir / ("one/" + std::to_string(i)));
  }
  ASSERT_TRUE(waitFor(dir.path(), kMustScanSubDirs | kKernelDropped | kItemIsDir, 20s));
  EXPECT_TRUE(find(dir / "one", kMustScanSubDirs | kKernelDropped));
  EXPECT_TRUE(find(dir / "two", kMustScanSubDirs | kKernelDropped));
}

TEST(EventStream, MissingRootCannotStart) {
  auto stream = EventStream::create("/nonexistent/root", 10ms, [](const std::vector<Event>&) {});
  ASSERT_TRUE(stream);
  stream->scheduleWithRunLoop(std::make_shared<dispatch::RunLoop>());
  EXPECT_FALSE(stream->start());
}

TEST(EventStreamDeathTest, UseFromAnotherThreadThanItsLoopsAbortsInDebugBuilds) {
#ifdef NDEBUG
  GTEST_SKIP() << "release builds do not check";
#endif
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  TempDir dir;
  EXPECT_DEATH(
      {
        auto stream = EventStream::create(dir.path(), 10ms, [](const std::vector<Event>&) {});
        stream->scheduleWithRunLoop(std::make_shared<dispatch::RunLoop>());
        if (!stream->start()) std::abort();
        std::thread([&] { stream->flushSync(); }).join();
      },
      "called on the wrong thread");
}

}  // namespace
}  // namespace platform::fsevents
