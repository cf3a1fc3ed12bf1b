// Bringing files online on the simulated gateway: the bring-online controller with its window
// (offscreen), the download queue and the file aggregation against a real mounted share.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "DownloadFileProcess/FileProcessController.h"
#include "GatewaySim.h"
#include "QtTestEnvironment.h"
#include "TempDir.h"
#include "WindowBundle.h"
#include "ui/Application.h"
#include "xattr/Xattr.h"

namespace pellora::testing {
namespace {

using namespace std::chrono_literals;
using platform::ui::runUntil;

std::string contentOf(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

bool stillStub(const std::string& path) {
  char value[8] = {};
  return platform::xattr::get(path, "is.zavro.stub", value, sizeof value, 0, 0) == 5;
}

// Shorter than the product's, so that summaries and error texts stay only briefly.
const FileQueueManager::Delays kDelays{200ms, 800ms};

class HydrationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "mounting the simulated share needs root";
    window = MessageWindow::loadFromNib(bundleWithMessageWindow(dir));
    ASSERT_TRUE(window);
    controller = makeController(kDelays);
  }

  std::shared_ptr<FileProcessController> makeController(FileQueueManager::Delays delays) {
    return FileProcessController::create(AttrManager(), FileQueueManager::create(delays), window,
                                         std::make_shared<ZVFileManager>());
  }

  // As the request dispatcher does it: the controller is let go when its newest request is told.
  void request(const std::vector<std::string>& paths, int* told) {
    const int number = ++newestRequest;
    controller->bringFilesOnline(paths, [this, number, told] {
      ++*told;
      if (newestRequest == number) controller.reset();
    });
  }

  const CircleAnimationView::CircleLayer& ring() const {
    return *window->circleAnimationView->circleLayer();
  }

  int downloads(const std::string& rel) {
    const auto counters = sim.counters();
    return counters["downloads"].value(rel, 0);
  }
  int downloadReads(const std::string& rel) {
    const auto counters = sim.counters();
    return counters["downloadReads"].value(rel, 0);
  }

  TempDir dir;
  GatewaySim sim;
  std::shared_ptr<MessageWindow> window;
  std::shared_ptr<FileProcessController> controller;
  int newestRequest = 0;
};

TEST_F(HydrationTest, StubsComeOnlineAndOnlineFilesCountNowhere) {
  const std::string a = sim.addStub("docs/a.pdf", "content of a");
  const std::string b = sim.addStub("docs/b.pdf", "content of b");
  const std::string c = sim.addOnline("docs/c.txt", "online");
  ASSERT_TRUE(sim.mount());
  std::vector<double> rings;
  int completions = 0;
  controller->bringFilesOnline({sim.path("docs")}, [&] { ++completions; });
  ASSERT_TRUE(runUntil([&] { return window->text().endsWith("files_added_to_queue"); }, 10s));
  EXPECT_EQ(window->text(), "2 files_added_to_queue");
  EXPECT_EQ(ring().strokeEnd, 1.0);
  EXPECT_EQ(ring().strokeColor, QColor(0, 255, 0));
  ASSERT_TRUE(runUntil([&] { return completions == 1; }, 5s));
  EXPECT_EQ(contentOf(a), "content of a");
  EXPECT_EQ(contentOf(b), "content of b");
  EXPECT_FALSE(stillStub(a));
  EXPECT_EQ(downloads("docs/a.pdf"), 1);
  EXPECT_EQ(downloadReads("docs/a.pdf"), 1);
  EXPECT_EQ(downloadReads("docs/c.txt"), 1);  // asked once, answered "not a stub"
  EXPECT_EQ(downloads("docs/c.txt"), 0);
}

TEST_F(HydrationTest, FailuresShowInTheSummaryAndKeepItLonger) {
  sim.addStub("docs/a.pdf", "a");
  const std::string lost = sim.addStub("docs/lost.pdf", "l");
  ASSERT_TRUE(sim.mount());
  ASSERT_TRUE(sim.fail("docs/lost.pdf", 5));
  int completions = 0;
  controller->bringFilesOnline({sim.path("docs")}, [&] { ++completions; });
  ASSERT_TRUE(runUntil([&] { return window->text().startsWith("files_progress_menu"); }, 10s));
  EXPECT_EQ(window->text(), "files_progress_menu 1 add 1 failed");
  EXPECT_EQ(ring().strokeColor, CircleAnimationView::kSystemRed);
  const auto shown = std::chrono::steady_clock::now();
  ASSERT_TRUE(runUntil([&] { return completions == 1; }, 5s));
  EXPECT_GE(std::chrono::steady_clock::now() - shown, 700ms);  // the longer delay
  EXPECT_TRUE(stillStub(lost));
}

TEST_F(HydrationTest, CancelFinishesTheCurrentFileOnly) {
  for (int i = 0; i < 5; ++i) sim.addStub("big/f" + std::to_string(i) + ".bin", "data");
  ASSERT_TRUE(sim.mount());
  ASSERT_TRUE(sim.setLatency(300));
  int completions = 0;
  controller->bringFilesOnline({sim.path("big")}, [&] { ++completions; });
  // Cancel while the first file is being read.
  ASSERT_TRUE(runUntil([&] { return downloadReads("big/f0.bin") + downloadReads("big/f1.bin") +
                                    downloadReads("big/f2.bin") + downloadReads("big/f3.bin") +
                                    downloadReads("big/f4.bin") >= 1; }, 10s));
  window->mainButton->click();
  EXPECT_FALSE(controller->messageWindow());  // the window closes at once
  ASSERT_TRUE(runUntil([&] { return completions == 1; }, 10s));
  int online = 0;
  for (int i = 0; i < 5; ++i) online += stillStub(sim.path("big/f" + std::to_string(i) + ".bin")) ? 0 : 1;
  EXPECT_EQ(online, 1);  // the file in progress, and no other
  EXPECT_TRUE(controller->queueManager()->status().canceled);
}

// Cancel before the selection has been expanded: the click comes before the main queue runs
// again, so the aggregation cannot have answered yet.
TEST_F(HydrationTest, CancelWhilePreparingBringsNothingOnline) {
  for (int i = 0; i < 3; ++i) sim.addStub("prep/f" + std::to_string(i), "p");
  ASSERT_TRUE(sim.mount());
  int completions = 0;
  controller->bringFilesOnline({sim.path("prep")}, [&] { ++completions; });
  ASSERT_EQ(window->text(), "preparing_files_for_download");
  window->mainButton->click();
  ASSERT_TRUE(runUntil([&] { return completions == 1; }, 10s));
  for (int i = 0; i < 3; ++i) {
    const std::string rel = "prep/f" + std::to_string(i);
    EXPECT_TRUE(stillStub(sim.path(rel))) << rel;
    EXPECT_EQ(downloadReads(rel), 0) << rel;
  }
}

TEST_F(HydrationTest, ClosedWindowLeavesTheDownloadsGoing) {
  for (int i = 0; i < 3; ++i) sim.addStub("d/f" + std::to_string(i), "x");
  ASSERT_TRUE(sim.mount());
  ASSERT_TRUE(sim.setLatency(100));
  int completions = 0;
  controller->bringFilesOnline({sim.path("d")}, [&] { ++completions; });
  window->secondaryButton->click();
  ASSERT_TRUE(runUntil([&] { return completions == 1; }, 10s));
  for (int i = 0; i < 3; ++i) EXPECT_FALSE(stillStub(sim.path("d/f" + std::to_string(i))));
}

TEST_F(HydrationTest, SecondRequestWhileTheFirstRunsUsesTheSameWindow) {
  for (int i = 0; i < 3; ++i) sim.addStub("one/f" + std::to_string(i), "1");
  const std::string extra = sim.addStub("two/g", "2");
  ASSERT_TRUE(sim.mount());
  ASSERT_TRUE(sim.setLatency(150));
  int first = 0, second = 0;
  controller->bringFilesOnline({sim.path("one")}, [&] { ++first; });
  ASSERT_TRUE(runUntil([&] { return window->circleAnimationView->circleLayer()->strokeEnd > 0; }, 10s));
  controller->bringFilesOnline({extra}, [&] { ++second; });
  EXPECT_EQ(controller->messageWindow(), window);
  ASSERT_TRUE(runUntil([&] { return first == 1 && second == 1; }, 10s));
  EXPECT_EQ(downloads("two/g"), 1);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(downloads("one/f" + std::to_string(i)), 1);
}

// A summary stays long enough here for the second request to land in it.
TEST_F(HydrationTest, RequestDuringTheSummaryStartsTheRingAtZero) {
  controller = makeController({3s, 3s});
  sim.addStub("one/a", "1");
  sim.addStub("two/b", "2");
  sim.addStub("two/c", "3");
  ASSERT_TRUE(sim.mount());
  ASSERT_TRUE(sim.setLatency(300));
  int first = 0, second = 0;
  request({sim.path("one")}, &first);
  ASSERT_TRUE(runUntil([&] { return window->text() == "1 files_added_to_queue"; }, 10s));
  ASSERT_EQ(ring().strokeEnd, 1.0);
  request({sim.path("two")}, &second);
  ASSERT_TRUE(runUntil([&] { return window->text() == "adding files to queue"; }, 10s));
  EXPECT_EQ(controller->messageWindow(), window);
  EXPECT_LT(ring().strokeEnd, 0.5);  // the first of its two files takes 300 ms
  double lowest = 1.0;
  ASSERT_TRUE(runUntil([&] {
    lowest = std::min(lowest, ring().strokeEnd);
    return window->text() == "2 files_added_to_queue";
  }, 10s));
  EXPECT_LT(lowest, 1.0);
  EXPECT_EQ(ring().strokeEnd, 1.0);
  EXPECT_EQ(first + second, 0);  // told when the window closes
  ASSERT_TRUE(runUntil([&] { return first == 1 && second == 1; }, 10s));
  EXPECT_FALSE(window->isVisible());
}

// The second request fails at once, while the first one's batch has most of its files to go.
TEST_F(HydrationTest, UnreadableFolderAskedForDuringABatchLeavesItRunning) {
  const int files = 10;
  for (int i = 0; i < files; ++i) sim.addStub("batch/f" + std::to_string(i), "b");
  sim.addStub("locked/secret.bin", "s");
  ASSERT_TRUE(sim.mount());
  ASSERT_TRUE(sim.unreadable("locked"));
  ASSERT_TRUE(sim.setLatency(200));
  int first = 0, second = 0;
  request({sim.path("batch")}, &first);
  ASSERT_TRUE(runUntil([&] { return ring().strokeEnd > 0; }, 10s));
  request({sim.path("locked")}, &second);
  std::set<std::string> texts;
  ASSERT_TRUE(runUntil([&] {
    texts.insert(window->text().toStdString());
    return first == 1 && second == 1;
  }, 15s)) << "first " << first << ", second " << second;
  EXPECT_EQ(texts.count("no permission to folders"), 0u);
  EXPECT_EQ(texts.count(std::to_string(files) + " files_added_to_queue"), 1u);
  for (int i = 0; i < files; ++i) {
    const std::string rel = "batch/f" + std::to_string(i);
    EXPECT_FALSE(stillStub(sim.path(rel))) << rel;
  }
  EXPECT_EQ(downloads("locked/secret.bin"), 0);
  EXPECT_FALSE(controller);  // let go once both were told
}

TEST_F(HydrationTest, UnreadableFolderShowsThePermissionErrorThenCloses) {
  sim.addStub("locked/secret.bin", "s");
  sim.addStub("open/fine.bin", "f");
  ASSERT_TRUE(sim.mount());
  ASSERT_TRUE(sim.unreadable("locked"));
  int completions = 0;
  controller->bringFilesOnline({sim.path("open/fine.bin"), sim.path("locked")}, [&] { ++completions; });
  ASSERT_TRUE(runUntil([&] { return window->text() == "no permission to folders"; }, 10s));
  const auto shown = std::chrono::steady_clock::now();
  ASSERT_TRUE(runUntil([&] { return completions == 1; }, 5s));
  EXPECT_GE(std::chrono::steady_clock::now() - shown, 700ms);
  EXPECT_FALSE(controller->messageWindow());
  EXPECT_EQ(downloads("open/fine.bin"), 0);  // nothing of the request was brought online
}

}  // namespace
}  // namespace pellora::testing
