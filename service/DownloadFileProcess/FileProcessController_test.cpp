// The bring-online controller with its window on the offscreen platform, over plain files whose
// download attribute holds the gateway's answer.
#include "DownloadFileProcess/FileProcessController.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "TempDir.h"
#include "WindowBundle.h"
#include "bundle/StringsTable.h"
#include "text/Format.h"
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
  EXPECT_EQ(window->circleAnimationView->circleLayer()->strokeColor, QColor(0, 255, 0));
  EXPECT_EQ(completions, 0);  // the summary stays for the close delay
  ASSERT_TRUE(runUntil([&] { return completions == 1; }, 5s));
  EXPECT_FALSE(controller->messageWindow());
  EXPECT_FALSE(window->isVisible());
}

TEST_F(FileProcessControllerTest, BatchWithFailuresEndsOnARedRing) {
  int completions = 0;
  controller->bringFilesOnline({file("a", "0"), file("lost", "5")}, [&] { ++completions; });
  ASSERT_TRUE(runUntil([&] { return window->text() == "files_progress_menu 1 add 1 failed"; }, 5s))
      << window->text().toStdString();
  const auto& ring = *window->circleAnimationView->circleLayer();
  EXPECT_EQ(ring.strokeEnd, 1.0);
  EXPECT_EQ(ring.strokeColor, CircleAnimationView::kSystemRed);
  ASSERT_TRUE(runUntil([&] { return completions == 1; }, 5s));
}

// The clicks come before the main queue has run again, so no selection has been expanded yet.
TEST_F(FileProcessControllerTest, CancelWhilePreparingHoldsForEveryEarlierRequest) {
  int first = 0, second = 0, later = 0;
  controller->bringFilesOnline({file("a", "0"), file("b", "0")}, [&] { ++first; });
  file("folder/c", "0");
  file("folder/d", "0");
  controller->bringFilesOnline({dir / "files/folder"}, [&] { ++second; });
  ASSERT_EQ(window->text(), "preparing_files_for_download");
  window->mainButton->click();
  EXPECT_FALSE(controller->messageWindow());
  // Made after the cancel: carried out, without a window.
  controller->bringFilesOnline({file("e", "0")}, [&] { ++later; });
  ASSERT_TRUE(runUntil([&] { return first == 1 && second == 1 && later == 1; }, 5s));
  EXPECT_EQ(controller->queueManager()->status().processedCount, 1);  // e alone
  EXPECT_FALSE(controller->queueManager()->status().canceled);
}

TEST_F(FileProcessControllerTest, CancelWithNothingLaterTellsTheRequestsAtOnce) {
  int completions = 0;
  controller->bringFilesOnline({file("a", "0")}, [&] { ++completions; });
  window->mainButton->click();
  ASSERT_TRUE(runUntil([&] { return completions == 1; }, 5s));
  EXPECT_EQ(controller->queueManager()->status().processedCount, 0);
  EXPECT_TRUE(controller->queueManager()->status().canceled);
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

// The summary keys are fixed, their English texts are ours: they must read right for one file.
TEST(FileProcessControllerTexts, SummariesReadRightForAnyCount) {
  const auto table = platform::bundle::readStringsTable(
      std::string(PELLORA_SOURCE_DIR) + "/resources/service/en.lproj/Localizable.strings");
  const auto text = [&](const std::string& key, const std::vector<std::string>& args) {
    const auto it = table.find(key);
    return it == table.end() ? std::string() : platform::text::format(it->second, args);
  };
  for (const auto& summary : {text("%@ files_added_to_queue", {"1"}),
                              text("files_progress_menu %@ add %@ failed", {"1", "1"})}) {
    ASSERT_FALSE(summary.empty());
    EXPECT_EQ(summary.find("1 files"), std::string::npos) << summary;
    EXPECT_NE(summary.find('1'), std::string::npos) << summary;
  }
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
