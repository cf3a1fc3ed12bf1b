#include "core/DirectoryWatcher.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <future>

#include "TempDir.h"
#include "Wait.h"
#include "log/Capture.h"
#include "xattr/Xattr.h"

namespace {

using namespace std::chrono_literals;
using pellora::testing::TempDir;
using pellora::testing::waitUntil;
namespace fse = platform::fsevents;

class RecordingRefresher : public RefreshFileIconInterface {
 public:
  bool refreshFileIcon(std::string& path) override {
    std::lock_guard guard(mutex);
    paths.push_back(path);
    return true;
  }
  std::vector<std::string> seen() {
    std::lock_guard guard(mutex);
    return paths;
  }
  size_t count(const std::string& path) {
    std::lock_guard guard(mutex);
    return static_cast<size_t>(std::count(paths.begin(), paths.end(), path));
  }
  std::mutex mutex;
  std::vector<std::string> paths;
};

constexpr uint32_t kFile = fse::kItemIsFile;
constexpr uint32_t kDir = fse::kItemIsDir;

class WatcherTest : public ::testing::Test {
 protected:
  // Long timers: the test drains by hand. The timers' first turn comes at once; it is over
  // when the first drain has come back.
  std::unique_ptr<DirectoryWatcher> idleWatcher() {
    auto watcher = std::make_unique<DirectoryWatcher>(dir.path(), refresher, log,
                                                      WatcherTiming{10s, 1h, 1h});
    EXPECT_TRUE(watcher->drainForTesting());
    return watcher;
  }
  TempDir dir;
  RecordingRefresher refresher;
  platform::log::Log log{"com.zavro.Pellora", "Shell"};
};

TEST(PrintFlags, NamesTheSetBitsInOrder) {
  EXPECT_EQ(printFlags(0), "");
  EXPECT_EQ(printFlags(fse::kMustScanSubDirs | fse::kKernelDropped | kDir),
            "MustScanSubDirs KernelDropped ItemIsDir ");
  EXPECT_EQ(printFlags(fse::kOwnEvent | fse::kItemXattrMod), "ItemXattrMod OwnEvent ");
  EXPECT_EQ(printFlags(0x100000 | fse::kItemCreated), "ItemCreated ");  // higher bits unnamed
}

TEST_F(WatcherTest, RepeatedChangesToOneFileGiveOneRefresh) {
  auto watcher = idleWatcher();
  const std::string f = dir / "a";
  ASSERT_TRUE(watcher->handleEventsForTesting(3, {f, f, f},
                        {fse::kItemCreated | kFile, fse::kItemModified | kFile,
                         fse::kItemXattrMod | kFile}));
  ASSERT_TRUE(watcher->handleEventsForTesting(1, {f}, {fse::kItemModified | kFile}));
  ASSERT_TRUE(watcher->drainForTesting());
  ASSERT_TRUE(watcher->drainForTesting());  // drained: nothing more
  EXPECT_EQ(refresher.seen(), std::vector<std::string>{f});
}

TEST_F(WatcherTest, TemporaryFilesAndFolderEventsNeverRefresh) {
  auto watcher = idleWatcher();
  ASSERT_TRUE(watcher->handleEventsForTesting(3, {dir / "x.zavro.tmp", dir / "sub/.zavro.tmp.1", dir / "folder"},
                        {fse::kItemCreated | kFile, fse::kItemModified | kFile,
                         fse::kItemCreated | kDir}));
  ASSERT_TRUE(watcher->drainForTesting());
  EXPECT_TRUE(refresher.seen().empty());
}

TEST_F(WatcherTest, FileAfterARescanCancelsThatRescan) {
  dir.write("F/inside");
  auto watcher = idleWatcher();
  const std::string f = dir / "F";
  const std::string file = dir / "F/changed";
  ASSERT_TRUE(watcher->handleEventsForTesting(2, {f, file}, {fse::kMustScanSubDirs | kDir, fse::kItemModified | kFile}));
  ASSERT_TRUE(watcher->drainForTesting());
  EXPECT_EQ(refresher.seen(), std::vector<std::string>{file});
}

TEST_F(WatcherTest, RescanAfterAFileInTheSameBatchIsIgnored) {
  dir.write("F/inside");
  auto watcher = idleWatcher();
  const std::string file = dir / "other";
  ASSERT_TRUE(watcher->handleEventsForTesting(2, {file, dir / "F"}, {fse::kItemModified | kFile, fse::kMustScanSubDirs | kDir}));
  ASSERT_TRUE(watcher->drainForTesting());
  EXPECT_EQ(refresher.seen(), std::vector<std::string>{file});
}

TEST_F(WatcherTest, RescanReadsOneLevelAndSkipsDotNames) {
  dir.write("F/a");
  dir.write("F/.hidden");
  dir.write("F/sub/deep");
  auto watcher = idleWatcher();
  platform::log::Capture capture;
  ASSERT_TRUE(watcher->handleEventsForTesting(2, {dir / "F", dir / "gone"},
                        {fse::kMustScanSubDirs | fse::kKernelDropped | kDir, fse::kMustScanSubDirs | kDir}));
  EXPECT_TRUE(capture.contains("REALLY BAD NEWS! The kernel dropped events."));
  ASSERT_TRUE(watcher->drainForTesting());
  auto seen = refresher.seen();
  std::sort(seen.begin(), seen.end());
  EXPECT_EQ(seen, (std::vector<std::string>{dir / "F/a", dir / "F/sub"}));
  EXPECT_TRUE(capture.contains("checkFolderList, Unable to open folder path " + dir / "gone" + "."));
}

TEST_F(WatcherTest, HistoryDoneIsIgnoredDroppedEventsAndAReturnedRootAreRescanned) {
  dir.write("H/h");
  dir.write("U/u");
  const std::string renamed = dir.write("renamed");
  auto watcher = idleWatcher();
  platform::log::Capture capture;
  ASSERT_TRUE(watcher->handleEventsForTesting(
      2, {dir / "H", dir / "U"},
      {fse::kHistoryDone | fse::kMustScanSubDirs | kDir, fse::kMustScanSubDirs | fse::kUserDropped | kDir}));
  ASSERT_TRUE(watcher->handleEventsForTesting(1, {renamed}, {fse::kItemRenamed | kFile}));
  EXPECT_TRUE(capture.contains("checkEventFlags, BAD NEWS! We dropped events"));
  ASSERT_TRUE(watcher->drainForTesting());
  auto seen = refresher.seen();
  std::sort(seen.begin(), seen.end());
  EXPECT_EQ(seen, (std::vector<std::string>{dir / "U/u", renamed}));
  // The root that is there again is read again, level one.
  ASSERT_TRUE(watcher->handleEventsForTesting(1, {dir.path()}, {fse::kRootChanged | kDir}));
  EXPECT_TRUE(capture.contains("checkEventFlags, Root path " + dir.path() + " now exists!"));
  ASSERT_TRUE(watcher->drainForTesting());
  EXPECT_EQ(refresher.count(dir / "H"), 1u);
  EXPECT_EQ(refresher.count(dir / "U"), 1u);
}

TEST_F(WatcherTest, AnIdleWatcherTakesNoBatches) {
  DirectoryWatcher watcher(dir / "missing", refresher, log);
  EXPECT_FALSE(watcher.handleEventsForTesting(1, {dir / "f"}, {fse::kItemCreated | kFile}));
  EXPECT_FALSE(watcher.drainForTesting());
}

TEST_F(WatcherTest, EveryEventIsLogged) {
  auto watcher = idleWatcher();
  platform::log::Capture capture;
  ASSERT_TRUE(watcher->handleEventsForTesting(2, {dir / "d", dir / "f"}, {fse::kItemCreated | kDir, fse::kItemCreated | kFile}));
  EXPECT_TRUE(capture.contains("handleEvents, Event: isDir:1, action:1 TotalEvents:2 Event:0 path:" + dir / "d"));
  EXPECT_TRUE(capture.contains("handleEvents, Event: isDir:0, action:1 TotalEvents:2 Event:1 path:" + dir / "f"));
}

TEST_F(WatcherTest, ChangesOnDiskReachTheRefresherThroughTheDrain) {
  const std::string stub = dir.write("docs/stub.bin");
  DirectoryWatcher watcher(dir.path(), refresher, log, WatcherTiming{50ms, 100ms, 200ms});
  ASSERT_TRUE(watcher.waitUntilWatching(5s));
  platform::xattr::set(stub, "is.zavro.stub", "ZAVRO", 5, 0, 0);
  const std::string fresh = dir.write("docs/new.txt", "x");
  EXPECT_TRUE(waitUntil([&] { return refresher.count(stub) >= 1 && refresher.count(fresh) >= 1; }));
  // A folder made now is rescanned, so a file created in it before its watch is not lost.
  const std::string burst = dir.write("burst/early.txt");
  EXPECT_TRUE(waitUntil([&] { return refresher.count(burst) >= 1; }));
}

TEST_F(WatcherTest, RemovingTheRootLogsItAndRefreshesNothing) {
  const std::string root = dir.mkdir("share");
  platform::log::Capture capture;
  DirectoryWatcher watcher(root, refresher, log, WatcherTiming{20ms, 50ms, 50ms});
  ASSERT_TRUE(watcher.waitUntilWatching(5s));
  std::filesystem::remove(root);
  EXPECT_TRUE(capture.waitFor("Root path " + root + " no longer exists!", 5s));
  EXPECT_TRUE(refresher.seen().empty());
}

TEST_F(WatcherTest, DestroyingRightAfterConstructionIsPrompt) {
  for (int i = 0; i < 50; ++i) {
    auto done = std::async(std::launch::async, [&] {
      DirectoryWatcher watcher(dir.path(), refresher, log);
    });
    ASSERT_EQ(done.wait_for(5s), std::future_status::ready) << i;
  }
}

TEST_F(WatcherTest, MissingRootLeavesTheWatcherIdle) {
  platform::log::Capture capture;
  DirectoryWatcher watcher(dir / "missing", refresher, log);
  EXPECT_FALSE(watcher.waitUntilWatching(5s));
  EXPECT_TRUE(capture.contains("threadGetFileChanges, failed to start the FSEventStream"));
}

}  // namespace
