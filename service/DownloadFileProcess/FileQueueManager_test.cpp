#include "DownloadFileProcess/FileQueueManager.h"

#include <gtest/gtest.h>

#include <thread>

#include "TempDir.h"
#include "Wait.h"
#include "dispatch/RunLoop.h"
#include "log/Capture.h"
#include "xattr/Xattr.h"

namespace {

using namespace std::chrono_literals;
using pellora::testing::TempDir;
using platform::dispatch::Clock;
using platform::dispatch::RunLoop;

// On a plain folder the download attribute's value is the gateway's answer.
class FileQueueManagerTest : public ::testing::Test {
 protected:
  std::string file(const std::string& name, const std::string& answer) {
    const std::string path = dir.write(name);
    platform::xattr::set(path, "zavro.download.file", answer.data(), answer.size(), 0, 0);
    return path;
  }

  void start(const std::vector<std::string>& urls) {
    started = Clock::now();
    manager->streamFiles(
        urls, [this](double p) { progress.push_back(p); },
        [this](std::optional<std::string> summary, bool finished) {
          if (finished) {
            finishedAt = Clock::now();
            ++finishedCalls;
          } else {
            summaries.push_back(summary.value_or("(none)"));
          }
        });
  }

  bool finish() { return RunLoop::main()->runUntil([&] { return finishedCalls > 0; }, 10s); }

  TempDir dir;
  std::shared_ptr<FileQueueManager> manager = FileQueueManager::create({100ms, 1500ms});
  std::vector<double> progress;
  std::vector<std::string> summaries;
  int finishedCalls = 0;
  Clock::time_point started, finishedAt;
};

TEST_F(FileQueueManagerTest, EmptyListSaysSoAndFinishesAfterTheLongDelay) {
  start({});
  ASSERT_EQ(summaries, std::vector<std::string>{"no_files_added_to_queue"});  // at once
  ASSERT_TRUE(finish());
  EXPECT_GE(finishedAt - started, 1500ms);
  EXPECT_TRUE(progress.empty());
  EXPECT_EQ(manager->status().errorCount, 1);
}

TEST_F(FileQueueManagerTest, SuccessfulBatchCountsAndFinishesAfterTheShortDelay) {
  start({file("a", "0"), file("b", "0"), file("c", "0")});
  ASSERT_TRUE(finish());
  EXPECT_EQ(summaries, std::vector<std::string>{"3 files_added_to_queue"});
  EXPECT_LT(finishedAt - started, 1500ms);
  ASSERT_EQ(progress.size(), 4u);  // one per file, then exactly 1.0
  EXPECT_NEAR(progress[0], 1.0 / 3, 1e-9);
  EXPECT_EQ(progress.back(), 1.0);
  EXPECT_EQ(finishedCalls, 1);
}

TEST_F(FileQueueManagerTest, FailuresAndFilesThatWereNotStubs) {
  platform::log::Capture capture;
  start({file("ok", "0"), file("online", "7"), file("lost.pdf", "5"), file("bad", "x")});
  ASSERT_TRUE(finish());
  EXPECT_EQ(summaries, std::vector<std::string>{"files_progress_menu 1 add 2 failed"});
  EXPECT_GE(finishedAt - started, 1500ms);
  EXPECT_EQ(progress.size(), 5u);  // the online file moves the ring too
  EXPECT_EQ(manager->status().processedCount, 1);
  EXPECT_EQ(manager->status().errorCount, 2);
  EXPECT_EQ(capture.count("\"lost.pdf\": failedToFindFile"), 1u);
  EXPECT_EQ(capture.count("\"bad\""), 0u);  // an unreadable answer is not logged
}

TEST_F(FileQueueManagerTest, BatchOfOnlineFilesAddsNothing) {
  start({file("x", "7"), file("y", "7")});
  ASSERT_TRUE(finish());
  EXPECT_EQ(summaries, std::vector<std::string>{"0 files_added_to_queue"});
}

TEST_F(FileQueueManagerTest, CancelFinishesTheCurrentFileAndSaysNothingWasAdded) {
  std::vector<std::string> urls;
  for (int i = 0; i < 10; ++i) urls.push_back(file("f" + std::to_string(i), "0"));
  platform::log::Capture capture;
  manager->streamFiles(
      urls,
      [&](double p) {
        progress.push_back(p);
        if (progress.size() == 2) manager->cancel();
      },
      [&](std::optional<std::string> summary, bool finished) {
        if (finished) ++finishedCalls; else summaries.push_back(*summary);
      });
  ASSERT_TRUE(finish());
  EXPECT_EQ(summaries, std::vector<std::string>{"no_files_added_to_queue"});
  EXPECT_EQ(manager->status().processedCount, 2);
  EXPECT_TRUE(manager->status().canceled);
  EXPECT_EQ(progress.size(), 2u);  // no 1.0: the batch did not end normally
  EXPECT_TRUE(capture.contains("Zavro FinderSync. File processing canceled was set"));
  EXPECT_TRUE(capture.contains("Zavro FinderSync. File processing canceled\""));
}

TEST_F(FileQueueManagerTest, FilesAddedDuringABatchJoinIt) {
  const std::vector<std::string> first = {file("a", "0"), file("b", "0"), file("c", "0")};
  const std::vector<std::string> second = {file("d", "0"), file("e", "5")};
  bool added = false;
  manager->streamFiles(
      first,
      [&](double p) {
        progress.push_back(p);
        if (!added) {
          added = true;
          // A second request while the first runs, with handlers of its own.
          manager->streamFiles(
              second, [&](double q) { progress.push_back(q); },
              [&](std::optional<std::string> summary, bool finished) {
                if (finished) ++finishedCalls; else summaries.push_back(*summary);
              });
        }
      },
      [&](std::optional<std::string>, bool) { ADD_FAILURE() << "replaced handler was called"; });
  ASSERT_TRUE(finish());
  EXPECT_EQ(summaries, std::vector<std::string>{"files_progress_menu 4 add 1 failed"});
  EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end()));
  EXPECT_EQ(progress.back(), 1.0);
  EXPECT_EQ(progress.size(), 6u);  // five files and the final 1.0
}

TEST_F(FileQueueManagerTest, NewBatchIsNotEndedByTheEarlierOnesDelay) {
  manager = FileQueueManager::create({300ms, 1500ms});
  start({file("a", "0")});
  ASSERT_TRUE(RunLoop::main()->runUntil([&] { return summaries.size() == 1; }, 5s));
  // Within the first batch's delay, a new batch begins; only its own end may finish it.
  start({file("b", "0")});
  ASSERT_TRUE(finish());
  EXPECT_EQ(summaries.size(), 2u);
  EXPECT_EQ(finishedCalls, 1);
}

// Failing files are logged as they are read, on the serial queue: the log shows how far the
// reads have gone while the main queue is not served.
class FileQueueManagerReadAheadTest : public FileQueueManagerTest {
 protected:
  std::vector<std::string> failingFiles(int count) {
    std::vector<std::string> urls;
    for (int i = 0; i < count; ++i) urls.push_back(file("lost" + std::to_string(i), "5"));
    return urls;
  }
  bool allRead(int count) {
    return pellora::testing::waitUntil([&] { return capture.count(": failedToFindFile") == size_t(count); });
  }
  platform::log::Capture capture;
};

TEST_F(FileQueueManagerReadAheadTest, ReadsGoOnWhileTheMainQueueIsBusy) {
  EXPECT_FALSE(manager->urlPathQueue());  // no batch yet
  start(failingFiles(4));
  // Nothing has reached the main thread yet, and every file has been read.
  ASSERT_TRUE(allRead(4));
  EXPECT_TRUE(progress.empty());
  EXPECT_EQ(manager->status().errorCount, 0);
  EXPECT_EQ(manager->urlPathQueue(), std::vector<std::string>{});  // all of them started
  ASSERT_TRUE(finish());
  EXPECT_EQ(summaries, std::vector<std::string>{"files_progress_menu 0 add 4 failed"});
  EXPECT_EQ(progress.size(), 5u);
  EXPECT_EQ(progress.back(), 1.0);
  EXPECT_EQ(capture.count(": failedToFindFile"), 4u);  // one read per file
}

TEST_F(FileQueueManagerReadAheadTest, CancelFromTheProgressHandlerStopsAtThatFile) {
  manager->streamFiles(
      failingFiles(4),
      [&](double p) {
        progress.push_back(p);
        manager->cancel();
      },
      [&](std::optional<std::string> summary, bool finished) {
        if (finished) ++finishedCalls; else summaries.push_back(*summary);
      });
  ASSERT_TRUE(allRead(4));
  ASSERT_TRUE(finish());
  // The three files read ahead of the first report neither count nor move the ring.
  EXPECT_EQ(progress.size(), 1u);
  EXPECT_EQ(manager->status().errorCount, 1);
  EXPECT_EQ(summaries, std::vector<std::string>{"no_files_added_to_queue"});
  EXPECT_FALSE(manager->isRunning());
}

TEST_F(FileQueueManagerReadAheadTest, CancelBetweenReportsCountsEveryFileAlreadyRead) {
  start(failingFiles(3));
  ASSERT_TRUE(allRead(3));
  manager->cancel();
  ASSERT_TRUE(finish());
  EXPECT_EQ(progress.size(), 3u);  // no final 1.0 after a cancel
  EXPECT_EQ(manager->status().errorCount, 3);
  EXPECT_EQ(summaries, std::vector<std::string>{"no_files_added_to_queue"});
  EXPECT_EQ(finishedCalls, 1);
}

TEST_F(FileQueueManagerReadAheadTest, FilesAddedRightAfterACancelCountButTheReadAheadDoesNot) {
  const auto second = std::vector<std::string>{file("fine", "0")};
  manager->streamFiles(
      failingFiles(3),
      [&](double p) {
        progress.push_back(p);
        if (progress.size() > 1) return;
        manager->cancel();
        // A new request before the batch has ended: it joins, and the batch goes on with it.
        manager->streamFiles(
            second, [&](double q) { progress.push_back(q); },
            [&](std::optional<std::string> summary, bool finished) {
              if (finished) ++finishedCalls; else summaries.push_back(*summary);
            });
      },
      [&](std::optional<std::string>, bool) { ADD_FAILURE() << "replaced handler was called"; });
  ASSERT_TRUE(allRead(3));
  ASSERT_TRUE(finish());
  EXPECT_EQ(summaries, std::vector<std::string>{"files_progress_menu 1 add 1 failed"});
  EXPECT_EQ(progress.size(), 3u);  // the first file, the one added, and 1.0
  EXPECT_EQ(progress.back(), 1.0);
  EXPECT_FALSE(manager->status().canceled);
}

#ifndef NDEBUG
TEST(FileQueueManagerThreadsDeathTest, UseOffTheMainThreadFailsLoudly) {
  auto manager = FileQueueManager::create();
  EXPECT_FALSE(manager->isRunning());  // binds it to this thread
  EXPECT_DEATH(std::thread([&] { manager->cancel(); }).join(), "called on the wrong thread");
}
#endif

TEST(FileQueueManagerText, FormattedCounts) {
  EXPECT_EQ(FileQueueManager::formattedString(0), "0");
  EXPECT_EQ(FileQueueManager::formattedString(9999), "9999");
  EXPECT_EQ(FileQueueManager::formattedString(10000), "10.00k");
  EXPECT_EQ(FileQueueManager::formattedString(12345), "12.35k");
}

}  // namespace
