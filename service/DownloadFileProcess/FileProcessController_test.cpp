// The bring-online controller with its window on the offscreen platform, over plain files whose
// download attribute holds the gateway's answer.
#include "DownloadFileProcess/FileProcessController.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "TempDir.h"
#include "WindowBundle.h"
#include "ui/Application.h"
#include "xattr/Xattr.h"

namespace {

using namespace std::chrono_literals;
using pellora::testing::TempDir;
using pellora::testing::bundleWithMessageWindow;
using platform::ui::runUntil;

// Shorter than the product's, so that summaries and error texts stay only briefly.
const FileQueueManager::Delays kDelays{200ms, 400ms};

class FileProcessControllerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    window = MessageWindow::loadFromNib(bundleWithMessageWindow(dir));
    ASSERT_TRUE(window);
    controller = FileProcessController::create(AttrManager(), FileQueueManager::create(kDelays), window,
                                               std::make_shared<ZVFileManager>());
  }

  std::string file(const std::string& name, const std::string& answer) {
    const std::string path = dir.write("files/" + name);
    platform::xattr::set(path, "zavro.download.file", answer.data(), answer.size(), 0, 0);
    return path;
  }

  TempDir dir;
  std::shared_ptr<MessageWindow> window;
  std::shared_ptr<FileProcessController> controller;
};

TEST_F(FileProcessControllerTest, RequestShowsProgressThenTheSummaryThenCloses) {
  int completions = 0;
  controller->bringFilesOnline({file("a", "0"), file("b", "0"), file("c", "7")}, [&] { ++completions; });
  EXPECT_TRUE(window->isVisible());
  EXPECT_EQ(window->text(), "preparing_files_for_download");
  ASSERT_TRUE(runUntil([&] { return window->text() == "2 files_added_to_queue"; }, 5s)) << window->text().toStdString();
  EXPECT_EQ(window->circleAnimationView->circleLayer()->strokeEnd, 1.0);
  EXPECT_EQ(completions, 0);  // the summary stays for the close delay
  ASSERT_TRUE(runUntil([&] { return completions == 1; }, 5s));
  EXPECT_FALSE(controller->messageWindow());
  EXPECT_FALSE(window->isVisible());
}

TEST_F(FileProcessControllerTest, CloseButtonLeavesTheDownloadsRunning) {
  int completions = 0;
  controller->bringFilesOnline({file("a", "0"), file("b", "0")}, [&] { ++completions; });
  window->secondaryButton->click();
  EXPECT_FALSE(window->isVisible());
  EXPECT_FALSE(controller->messageWindow());
  ASSERT_TRUE(runUntil([&] { return completions == 1; }, 5s));
  EXPECT_EQ(controller->queueManager()->status().processedCount, 2);
}

// Plain files come online at once, so here the second request lands while the first one's
// summary is shown; the simulated gateway's tests cover joining a batch that is still running.
TEST_F(FileProcessControllerTest, SecondRequestBeforeTheWindowClosesReusesItAndBothAreTold) {
  int first = 0, second = 0;
  controller->bringFilesOnline({file("a", "0"), file("b", "0")}, [&] { ++first; });
  ASSERT_TRUE(runUntil([&] { return window->text() == "2 files_added_to_queue"; }, 5s));
  controller->bringFilesOnline({file("c", "0")}, [&] { ++second; });
  EXPECT_EQ(controller->messageWindow(), window);
  EXPECT_TRUE(window->isVisible());
  ASSERT_TRUE(runUntil([&] { return first == 1 && second == 1; }, 10s));
  EXPECT_FALSE(controller->messageWindow());
  // Nothing is told twice.
  runUntil([] { return false; }, 500ms);
  EXPECT_EQ(first + second, 2);
}

TEST_F(FileProcessControllerTest, EmptySelectionSaysNoFilesAndClosesAfterTheLongDelay) {
  int completions = 0;
  controller->bringFilesOnline({dir.mkdir("empty")}, [&] { ++completions; });
  ASSERT_TRUE(runUntil([&] { return window->text() == "no_files_added_to_queue"; }, 5s));
  ASSERT_TRUE(runUntil([&] { return completions == 1; }, 5s));
  EXPECT_FALSE(controller->messageWindow());
}

TEST_F(FileProcessControllerTest, WorksWithoutAWindow) {
  auto bare = FileProcessController::create(AttrManager(), FileQueueManager::create(kDelays), nullptr,
                                            std::make_shared<ZVFileManager>());
  int completions = 0;
  bare->bringFilesOnline({file("a", "0")}, [&] { ++completions; });
  ASSERT_TRUE(runUntil([&] { return completions == 1; }, 5s));
  EXPECT_EQ(bare->queueManager()->status().processedCount, 1);
}

TEST_F(FileProcessControllerTest, ControllerReleasedEarlyStopsQuietly) {
  int completions = 0;
  controller->bringFilesOnline({file("a", "0")}, [&] { ++completions; });
  controller.reset();  // the window goes with it
  EXPECT_FALSE(window->isVisible());
  runUntil([] { return false; }, 500ms);
  EXPECT_EQ(completions, 0);
}

}  // namespace
