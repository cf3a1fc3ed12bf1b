// The preview hold on a folder the mount table of the test calls a gateway share: failure
// records in a thumbnail cache of the test's own, following the communication file.
#include "PreviewHold.h"

#include <QImage>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "RunLoopHostLoop.h"
#include "TempDir.h"
#include "ZVFileManager.h"
#include "dispatch/RunLoop.h"

namespace pellora::nautilus {
namespace {

using namespace std::chrono_literals;
using pellora::testing::TempDir;
using platform::dispatch::RunLoop;

class PreviewHoldTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* data = std::getenv("XDG_DATA_HOME")) savedData_ = data;
    ::setenv("XDG_DATA_HOME", dir_.mkdir("data").c_str(), 1);
    root_ = std::filesystem::canonical(dir_.path()).string();
    share_ = root_ + "/share";
    dir_.write("share/docs/a.png", "A");
    dir_.write("share/docs/b.txt", "B");
    dir_.mkdir("share/docs/sub");
    dir_.write("share/docs/sub/c.png", "C");
    dir_.write("local/d.png", "D");
    ASSERT_EQ(::setxattr(share_.c_str(), "user.is.zavro.share", "ZAVRO", 5, 0), 0);
    // The share is an SMB mount, the rest of the tree another file system.
    dir_.write("mountinfo", "22 1 8:1 / / rw - ext4 /dev/sda1 rw\n"
                            "40 22 0:50 / " + share_ + " rw - cifs //gateway/share rw\n");
  }
  void TearDown() override {
    if (savedData_) {
      ::setenv("XDG_DATA_HOME", savedData_->c_str(), 1);
    } else {
      ::unsetenv("XDG_DATA_HOME");
    }
  }

  PreviewHold::Options options() {
    return {dir_.mkdir("cache"), dir_ / "mountinfo"};
  }
  time_t mtime(const std::string& path) {
    struct stat st {};
    ::stat(path.c_str(), &st);
    return st.st_mtime;
  }
  void choose(bool enabled) { ZVFileManager().setPreviewStateEnabled(enabled); }

  TempDir dir_;
  std::optional<std::string> savedData_;
  std::string root_, share_;
  host::RunLoopHostLoop loop_{RunLoop::main()};
};

TEST_F(PreviewHoldTest, WithPreviewsOffTheFilesOfAGatewayFolderGetRecordsTheFactoryReads) {
  PreviewHold hold(loop_, options());
  hold.start();
  EXPECT_FALSE(hold.previewsEnabled());  // no choice written yet: off
  hold.holdFolder(share_ + "/docs");
  hold.holdFolder(root_ + "/local");
  hold.holdFile(root_ + "/local/d.png");

  const auto& records = hold.records();
  for (const char* name : {"a.png", "b.txt"}) {
    const std::string file = share_ + "/docs/" + name;
    const auto record = records.read(file);
    ASSERT_TRUE(record) << file;
    EXPECT_EQ(record->uri, "file://" + file);
    EXPECT_EQ(record->mtime, std::to_string(mtime(file)));
    EXPECT_TRUE(record->ours);
    // The factory loads records as PNG images and reads their text.
    QImage image(QString::fromStdString(records.recordPath(file)), "PNG");
    ASSERT_FALSE(image.isNull()) << records.recordPath(file);
    EXPECT_EQ(image.text("Thumb::URI").toStdString(), "file://" + file);
    EXPECT_EQ(image.text("Thumb::MTime").toStdString(), std::to_string(mtime(file)));
  }
  // Not the folder itself, not what lies below it, not a folder off the share.
  EXPECT_FALSE(records.read(share_ + "/docs/sub"));
  EXPECT_FALSE(records.read(share_ + "/docs/sub/c.png"));
  EXPECT_FALSE(records.read(root_ + "/local/d.png"));

  // A record follows the file's modification time.
  const std::string a = share_ + "/docs/a.png";
  std::filesystem::last_write_time(a, std::filesystem::last_write_time(a) - 1h);
  hold.holdFile(a);
  EXPECT_EQ(records.read(a)->mtime, std::to_string(mtime(a)));
  // A URI is escaped as GLib escapes it.
  dir_.write("share/docs/x y#1.png", "X");
  hold.holdFile(share_ + "/docs/x y#1.png");
  EXPECT_EQ(records.read(share_ + "/docs/x y#1.png")->uri, "file://" + share_ + "/docs/x%20y%231.png");
}

TEST_F(PreviewHoldTest, TheChoiceIsFollowedAndPreviewsOnRemoveOnlyOurRecords) {
  PreviewHold hold(loop_, options());
  hold.start();
  const std::string a = share_ + "/docs/a.png", b = share_ + "/docs/b.txt";
  hold.holdFolder(share_ + "/docs");
  ASSERT_TRUE(hold.records().read(a));
  // A record of the factory's own stays whatever the choice.
  const std::string factoryRecord = hold.records().recordPath(b);
  {
    std::string png = FailedThumbnails::encode("file://" + b, mtime(b));
    png.replace(png.find("Pellora"), 7, "Factor!");
    std::ofstream(factoryRecord, std::ios::binary | std::ios::trunc) << png;
  }

  choose(true);
  ASSERT_TRUE(loop_.servePostedUntil([&] { return hold.previewsEnabled(); }, 5s));
  EXPECT_FALSE(hold.records().read(a));
  EXPECT_TRUE(std::filesystem::exists(factoryRecord));
  hold.holdFolder(share_ + "/docs");
  EXPECT_FALSE(hold.records().read(a));

  // An unreadable file changes nothing; off again holds what Nautilus asks about next.
  std::ofstream(*ZVFileManager().communicationFileURL(), std::ios::trunc) << "{not json";
  EXPECT_FALSE(loop_.servePostedUntil([&] { return !hold.previewsEnabled(); }, 300ms));
  choose(false);
  ASSERT_TRUE(loop_.servePostedUntil([&] { return !hold.previewsEnabled(); }, 5s));
  hold.holdFile(a);
  EXPECT_TRUE(hold.records().read(a));

  // A record left by an earlier run goes when Nautilus asks about its file with previews on.
  PreviewHold later(loop_, options());
  choose(true);
  later.start();
  ASSERT_TRUE(later.previewsEnabled());
  later.holdFile(a);
  EXPECT_FALSE(later.records().read(a));
}

}  // namespace
}  // namespace pellora::nautilus
