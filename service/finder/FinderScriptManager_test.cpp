// FinderScriptManager against the Finder stand-in's scripting target: the texts it tells its
// delegate, what it sets in Finder, views Finder cannot answer for, the walk below a folder and
// its cancellation, and a Finder that hangs.
#include "finder/FinderScriptManager.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <mutex>

#include "TempDir.h"
#include "TestFinder.h"
#include "log/Capture.h"

namespace {

using namespace std::chrono_literals;
using pellora::testing::TempDir;
using pellora::testing::TestFinder;

struct Texts : FinderScriptManagerDelegate {
  std::mutex mutex;
  std::vector<std::string> texts;
  std::function<void(const std::string&)> onText;

  void finderScriptManagerDelegateUpdateMessage(const std::string& message) override {
    {
      std::lock_guard lock(mutex);
      texts.push_back(message);
    }
    if (onText) onText(message);
  }
  std::vector<std::string> take() {
    std::lock_guard lock(mutex);
    return std::exchange(texts, {});
  }
};

class FinderScriptManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = std::filesystem::canonical(dir_.path()).string() + "/share";
    dir_.mkdir("share");
    ASSERT_TRUE(finder_.ok());
    manager_->setDelegate(texts_);
  }

  bool allPreviews(const std::string& folder, bool on) {
    const auto o = finder_.viewOptions(folder);
    for (const auto& v : {o.list, o.column, o.icon}) {
      if (v.showsIconPreview != on || v.showsPreviewColumn != on) return false;
    }
    return true;
  }

  // The folders the texts say were run, in order.
  static std::vector<std::string> runs(const std::vector<std::string>& texts) {
    std::vector<std::string> out;
    for (const auto& t : texts) {
      if (t.rfind("Running ", 0) == 0) out.push_back(t.substr(8));
    }
    return out;
  }

  TempDir dir_;
  std::string root_;
  TestFinder finder_{dir_.path() + "/finder/scripting.sock", dir_.path() + "/consent.json"};
  std::shared_ptr<FinderScriptManager> manager_ =
      std::make_shared<FinderScriptManager>(finder_.application());
  std::shared_ptr<Texts> texts_ = std::make_shared<Texts>();
};

TEST_F(FinderScriptManagerTest, OnWhereFinderPreviewsAlreadyAndOffWhereItDoes) {
  // Finder previews by default: state 1 finds every view on, and sets them all the same.
  manager_->turnPreviewStateForDirURL(1, root_);
  EXPECT_EQ(texts_->take(),
            (std::vector<std::string>{"Running " + root_, "View is on for List",
                                      "View is on for Column", "View is on for Icon"}));
  EXPECT_TRUE(allPreviews(root_, true));

  manager_->turnPreviewStateForDirURL(0, root_);
  EXPECT_EQ(texts_->take(), (std::vector<std::string>{"Running " + root_, "Turning off List",
                                                      "Turning off Column", "Turning off Icon"}));
  EXPECT_TRUE(allPreviews(root_, false));

  // Any state but 1 is off.
  manager_->turnPreviewStateForDirURL(2, root_);
  EXPECT_EQ(texts_->take(), (std::vector<std::string>{"Running " + root_, "View is off for List",
                                                      "View is off for Column",
                                                      "View is off for Icon"}));
  EXPECT_TRUE(allPreviews(root_, false));

  manager_->turnPreviewStateForDirURL(1, "file://" + root_);
  EXPECT_EQ(texts_->take().at(1), "Turning on List");
  EXPECT_TRUE(allPreviews(root_, true));
}

TEST_F(FinderScriptManagerTest, ViewsFinderCannotAnswerForAreLeftAlone) {
  // Finder's list view options as a Finder without icon previews there would describe them.
  finder_.setFilter([](const nlohmann::json& request, nlohmann::json& answer) {
    if (request.value("property", "") != "listViewOptions") return;
    answer["result"]["properties"] = nlohmann::json::array({"showsPreviewColumn"});
  });
  manager_->turnPreviewStateForDirURL(0, root_);
  EXPECT_EQ(texts_->take(), (std::vector<std::string>{"Running " + root_, "Turning off Column",
                                                      "Turning off Icon"}));
  const auto o = finder_.viewOptions(root_);
  EXPECT_TRUE(o.list.showsIconPreview && o.list.showsPreviewColumn);
  EXPECT_FALSE(o.icon.showsIconPreview);

  // A view-option object Finder does not give at all: the others keep their names.
  finder_.setFilter([](const nlohmann::json& request, nlohmann::json& answer) {
    if (request.value("property", "") != "columnViewOptions") return;
    answer = {{"id", request["id"]}, {"error", -1728}, {"message", "no column view"}};
  });
  manager_->turnPreviewStateForDirURL(1, root_);
  EXPECT_EQ(texts_->take(), (std::vector<std::string>{"Running " + root_, "View is on for List",
                                                      "Turning on Icon"}));

  // A folder Finder cannot resolve has no view options: nothing is set.
  platform::log::Capture capture;
  finder_.setFilter(nullptr);
  manager_->turnPreviewStateForDirURL(0, root_ + "/missing");
  EXPECT_EQ(texts_->take(), std::vector<std::string>{"Running " + root_ + "/missing"});
  EXPECT_TRUE(capture.contains("(-1728)"));
}

TEST_F(FinderScriptManagerTest, TheWalkEntersFoldersAndPackagesButNothingHidden) {
  for (const char* folder : {"share/b", "share/a/a1", "share/.hidden/h1", "share/pkg.app/Contents",
                             "share/a/.cache"}) {
    dir_.mkdir(folder);
  }
  dir_.write("share/file.txt", "x");
  std::filesystem::create_directory_symlink(root_ + "/a", root_ + "/link");
  const std::vector<std::string> below{root_ + "/a", root_ + "/a/a1", root_ + "/b",
                                       root_ + "/pkg.app", root_ + "/pkg.app/Contents"};
  EXPECT_EQ(manager_->allDirsOfRootURL(root_), below);

  manager_->setPreviewState(0, root_);
  std::vector<std::string> all{root_};
  all.insert(all.end(), below.begin(), below.end());
  EXPECT_EQ(runs(texts_->take()), all);
  for (const auto& folder : all) EXPECT_TRUE(allPreviews(folder, false)) << folder;
  EXPECT_TRUE(allPreviews(root_ + "/.hidden", true));
}

TEST_F(FinderScriptManagerTest, ACancelledWalkFinishesTheFolderInProgressAndStops) {
  for (const char* folder : {"share/a/a1", "share/b", "share/c"}) dir_.mkdir(folder);
  texts_->onText = [this](const std::string& text) {
    if (text == "Running " + root_ + "/a") manager_->cancel();
  };
  manager_->setPreviewState(0, root_);
  const auto texts = texts_->take();
  EXPECT_EQ(runs(texts), (std::vector<std::string>{root_, root_ + "/a"}));
  EXPECT_EQ(texts.back(), "Turning off Icon") << "the folder in progress was finished";
  EXPECT_TRUE(allPreviews(root_ + "/a", false));
  EXPECT_TRUE(allPreviews(root_ + "/a/a1", true));
  EXPECT_TRUE(manager_->cancelFlag());
  // The flag stays until the next walk; the collecting walk ignores it.
  EXPECT_EQ(manager_->allDirsOfRootURL(root_).size(), 4u);
  texts_->onText = nullptr;
  manager_->setPreviewState(0, root_);
  EXPECT_FALSE(manager_->cancelFlag());
  EXPECT_EQ(runs(texts_->take()).size(), 5u);
}

TEST_F(FinderScriptManagerTest, AHungFinderCostsOneTimedOutCallPerFolder) {
  manager_->finderApp()->setTimeout(100ms);
  finder_.setHung(true);
  platform::log::Capture capture;
  manager_->turnPreviewStateForDirURL(0, root_);
  EXPECT_EQ(texts_->take(), std::vector<std::string>{"Running " + root_});
  EXPECT_EQ(finder_.requests(), 1);
  EXPECT_TRUE(capture.contains("no answer in time (-1712)"));
  finder_.setHung(false);
  manager_->turnPreviewStateForDirURL(0, root_);
  EXPECT_TRUE(allPreviews(root_, false));
}

}  // namespace
