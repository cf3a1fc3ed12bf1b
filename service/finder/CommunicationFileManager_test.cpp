// CommunicationFileManager with a real communication folder, written as the application writes
// it, and the Finder stand-in's scripting target: the state before any change, changes of the
// choice, a file that cannot be read, the share roots, and work that outlives the observer.
#include "finder/CommunicationFileManager.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>

#include "TempDir.h"
#include "TestFinder.h"
#include "Wait.h"
#include "dispatch/Queue.h"
#include "dispatch/RunLoop.h"
#include "log/Capture.h"

namespace {

using namespace std::chrono_literals;
using pellora::testing::TempDir;
using pellora::testing::TestFinder;
using pellora::testing::waitUntil;
using platform::dispatch::RunLoop;

class CommunicationFileManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("XDG_DATA_HOME", (dir_ / "data").c_str(), 1);
    ASSERT_TRUE(finder_.ok());
    root_ = std::filesystem::canonical(dir_.path()).string();
    for (const char* folder : {"share/a", "share/b"}) dir_.mkdir(folder);
    observer_ = CommunicationFileManager::create(
        std::make_shared<ZVFileManager>(),
        std::make_shared<FinderScriptManager>(finder_.application()));
  }
  void TearDown() override {
    observer_.reset();
    ::unsetenv("XDG_DATA_HOME");
  }

  // The icon view's preview once the main queue has run what was posted so far.
  bool iconPreviewAfterMainQueue(const std::string& folder) {
    bool ran = false;
    platform::dispatch::mainQueue()->async([&] { ran = true; });
    EXPECT_TRUE(RunLoop::main()->runUntil([&] { return ran; }, 10s));
    return finder_.viewOptions(folder).icon.showsIconPreview;
  }

  // Starts observing the communication folder as the share monitoring does.
  void observe() {
    const auto folder = ZVFileManager().communicationDir();
    ASSERT_TRUE(folder);
    observer_->startObserving(*folder);
    EXPECT_GT(observer_->fileDesc(), 0);
  }

  TempDir dir_;
  std::string root_;
  TestFinder finder_{dir_.path() + "/finder/scripting.sock", dir_.path() + "/consent.json"};
  std::shared_ptr<CommunicationFileManager> observer_;
};

TEST_F(CommunicationFileManagerTest, PreviewsAreOffUntilTheChoiceSaysOtherwise) {
  platform::log::Capture capture;
  observe();
  EXPECT_TRUE(capture.contains("Start observing " + *ZVFileManager().communicationDir()));
  EXPECT_EQ(observer_->finderPreviewState(), CommunicationFileManager::kStateOff);
  observer_->setPreview(root_ + "/share/a");
  EXPECT_FALSE(iconPreviewAfterMainQueue(root_ + "/share/a"));
  const auto a = finder_.viewOptions(root_ + "/share/a");
  EXPECT_FALSE(a.list.showsIconPreview || a.column.showsPreviewColumn);
  // Only the opened folder is scripted.
  EXPECT_TRUE(finder_.viewOptions(root_ + "/share").icon.showsIconPreview);

  // The application writes the choice: the next folder opened gets previews; the first keeps
  // them off until it is opened again.
  ZVFileManager().setPreviewStateEnabled(true);
  ASSERT_TRUE(waitUntil([&] {
    return observer_->finderPreviewState() == CommunicationFileManager::kStateOn;
  }));
  EXPECT_TRUE(capture.waitFor("Preview stated enabled updated to true", 5s));
  observer_->setPreview(root_ + "/share/b");
  EXPECT_TRUE(iconPreviewAfterMainQueue(root_ + "/share/b"));
  EXPECT_FALSE(finder_.viewOptions(root_ + "/share/a").icon.showsIconPreview);
  observer_->setPreview(root_ + "/share/a");
  EXPECT_TRUE(iconPreviewAfterMainQueue(root_ + "/share/a"));

  ZVFileManager().setPreviewStateEnabled(false);
  ASSERT_TRUE(waitUntil([&] {
    return observer_->finderPreviewState() == CommunicationFileManager::kStateOff;
  }));
}

TEST_F(CommunicationFileManagerTest, AFileThatCannotBeReadLeavesTheStateAsItWas) {
  observe();
  ZVFileManager().setPreviewStateEnabled(true);
  ASSERT_TRUE(waitUntil([&] {
    return observer_->finderPreviewState() == CommunicationFileManager::kStateOn;
  }));
  platform::log::Capture capture;
  const std::string file = *ZVFileManager().communicationFileURL();
  std::filesystem::remove(file);
  std::ofstream(file) << "{\"previewEnabled\":1}";
  // Each event re-reads the file and fails; the last one comes after the write is complete.
  ASSERT_TRUE(capture.waitFor("FileChangeEvent", 5s));
  ASSERT_TRUE(capture.waitFor("isn't in the correct format", 5s));
  EXPECT_FALSE(capture.contains("Preview stated enabled updated to"));
  EXPECT_EQ(observer_->finderPreviewState(), CommunicationFileManager::kStateOn);
}

TEST_F(CommunicationFileManagerTest, RemovingARootRemovesEveryEntryWithItsPath) {
  auto& roots = observer_->mountRootURLs();
  roots = {"/mnt/share", "/mnt/other", "/mnt/share/", "file:///mnt/share"};
  observer_->remove("/mnt/share");
  EXPECT_EQ(observer_->mountRootURLs(), std::vector<std::string>{"/mnt/other"});
  observer_->remove("/mnt/nothing");
  EXPECT_EQ(observer_->mountRootURLs().size(), 1u);
}

TEST_F(CommunicationFileManagerTest, ScriptingPostedBeforeTheObserverWentDoesNothing) {
  observe();
  observer_->setPreview(root_ + "/share/a");
  observer_.reset();
  EXPECT_TRUE(iconPreviewAfterMainQueue(root_ + "/share/a"));
  EXPECT_EQ(finder_.requests(), 0);
}

}  // namespace
