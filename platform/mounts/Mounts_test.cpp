#include "mounts/Mounts.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "TempDir.h"

namespace platform::mounts {
namespace {

using pellora::testing::TempDir;
using ::testing::ElementsAre;

const Mount* find(const std::vector<Mount>& mounts, const std::string& mountPoint) {
  const auto it = std::find_if(mounts.begin(), mounts.end(),
                               [&](const Mount& m) { return m.mountPoint == mountPoint; });
  return it == mounts.end() ? nullptr : &*it;
}

constexpr const char* kTable =
    "36 35 98:0 /mnt1 /mnt2 rw,noatime master:1 - ext3 /dev/root rw,errors=continue\n"
    "100 27 0:50 / /tmp/my\\040share rw,nosuid,nodev,relatime shared:5 master:2 - fuse.smbfs "
    "//gateway/share rw,user_id=0,group_id=0,allow_other\n"
    "101 27 0:51 / /mnt/tab\\011name rw - cifs //srv/a\\040b rw,vers=3.0\n"
    "102 27 0:52 / /mnt/nl\\012back\\134slash rw - smb3 //srv/c rw\n"
    "not a mount line\n"
    "103 27 0:53 / /mnt/nosep rw shared:1 ext4 /dev/x rw\n"
    "104 27 0:54 / /home rw - ext4 /dev/sda2 rw\n"
    "105 27 0:55 / /mnt/lit\\134040 rw - fuse.sshfs me@host:/x rw\n"
    "106 27 0:56 /sub /mnt/fuse rw - fuse /dev/fuse rw";  // no final newline

TEST(Mounts, ParsesFieldsAroundOptionalFieldsAndTheSeparator) {
  const auto mounts = parseMountInfo(kTable);
  ASSERT_EQ(mounts.size(), 7u);  // the garbage line and the line without "-" are skipped
  EXPECT_EQ(mounts[0].mountPoint, "/mnt2");
  EXPECT_EQ(mounts[0].source, "/dev/root");
  EXPECT_EQ(mounts[0].fsType, "ext3");
  EXPECT_EQ(mounts[0].type, "ext3");
  EXPECT_EQ(find(mounts, "/mnt/nosep"), nullptr);
  const Mount* home = find(mounts, "/home");
  ASSERT_NE(home, nullptr);
  EXPECT_EQ(home->source, "/dev/sda2");
  const Mount* last = find(mounts, "/mnt/fuse");
  ASSERT_NE(last, nullptr);
  EXPECT_EQ(last->fsType, "fuse");
}

TEST(Mounts, DecodesEscapedCharacters) {
  const auto mounts = parseMountInfo(kTable);
  const Mount* share = find(mounts, "/tmp/my share");
  ASSERT_NE(share, nullptr);
  EXPECT_EQ(share->source, "//gateway/share");
  ASSERT_NE(find(mounts, "/mnt/tab\tname"), nullptr);
  EXPECT_EQ(find(mounts, "/mnt/tab\tname")->source, "//srv/a b");
  EXPECT_NE(find(mounts, "/mnt/nl\nback\\slash"), nullptr);
  // A decoded backslash does not start another escape.
  EXPECT_NE(find(mounts, "/mnt/lit\\040"), nullptr);
}

TEST(Mounts, ReportsEverySmbClientAsSmbfs) {
  const auto mounts = parseMountInfo(kTable);
  EXPECT_EQ(find(mounts, "/tmp/my share")->type, "smbfs");
  EXPECT_EQ(find(mounts, "/tmp/my share")->fsType, "fuse.smbfs");
  EXPECT_EQ(find(mounts, "/mnt/tab\tname")->type, "smbfs");
  EXPECT_EQ(find(mounts, "/mnt/tab\tname")->fsType, "cifs");
  EXPECT_EQ(find(mounts, "/mnt/nl\nback\\slash")->type, "smbfs");
  EXPECT_EQ(find(mounts, "/mnt/lit\\040")->type, "fuse.sshfs");
  EXPECT_EQ(reportedType("smbfs2"), "smbfs2");
  EXPECT_EQ(reportedType("fuse"), "fuse");
}

TEST(Mounts, ReadsATableFromAFile) {
  TempDir dir;
  const auto path = dir.write("mountinfo", kTable);
  const auto mounts = listMounts(path);
  ASSERT_TRUE(mounts.has_value());
  EXPECT_EQ(mounts->size(), 7u);
  EXPECT_FALSE(listMounts(dir / "missing").has_value());
}

TEST(Mounts, TheProcessTableHasTheRoot) {
  const auto mounts = listMounts();
  ASSERT_TRUE(mounts.has_value());
  EXPECT_NE(find(*mounts, "/"), nullptr);
  const Mount* proc = find(*mounts, "/proc");
  ASSERT_NE(proc, nullptr);
  EXPECT_EQ(proc->type, "proc");
}

Mount mount(std::string point, std::string fsType) {
  return Mount{std::move(point), "src", reportedType(fsType), std::move(fsType)};
}

TEST(Mounts, VolumeUrlsLeaveOutSystemFileSystems) {
  const std::vector<Mount> mounts = {
      mount("/", "ext4"),
      mount("/proc", "proc"),
      mount("/sys/fs/cgroup", "cgroup2"),
      mount("/dev/shm", "tmpfs"),
      mount("/tmp", "tmpfs"),
      mount("/dev/hugepages", "ext4"),  // under /dev whatever the type
      mount("/var/lib/docker/overlay2/abc/merged", "overlay"),
      mount("/run/user/0/gvfs", "fuse.gvfsd-fuse"),
      mount("/run/media/ann/USB STICK", "vfat"),
      mount("/tmp/pellora-x/mnt", "fuse.smbfs"),
      mount("/mnt/share", "cifs"),
      mount("/proc/sys/fs/binfmt_misc", "binfmt_misc"),
      mount("/", "overlay"),        // stacked on the root: listed once
      mount("/processes", "ext4"),  // shares a prefix with /proc only
  };
  EXPECT_THAT(mountedVolumeURLs(mounts),
              ElementsAre("/", "/run/media/ann/USB STICK", "/tmp/pellora-x/mnt", "/mnt/share",
                          "/processes"));
}

TEST(Mounts, VolumeUrlsOfTheProcessIncludeTheRootButNotProc) {
  const auto urls = mountedVolumeURLs();
  EXPECT_NE(std::find(urls.begin(), urls.end(), "/"), urls.end());
  EXPECT_EQ(std::find(urls.begin(), urls.end(), "/proc"), urls.end());
}

}  // namespace
}  // namespace platform::mounts
