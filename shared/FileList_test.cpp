#include "FileList.h"

#include <gtest/gtest.h>

namespace {

using Paths = std::vector<std::string>;

TEST(FileList, FolderEntriesAndWholePathsKeepTheirOrder) {
  FileList list;
  const uint32_t docs = list.addFolder("/share/docs");
  list.add(docs, "a.pdf");
  const uint32_t sub = list.addFolder("/share/docs/sub");
  list.add(sub, "b");
  list.add(docs, "c");  // back in the outer folder after its subfolder
  list.push_back("/elsewhere/d.txt");
  list.add(sub, "");  // an empty name still counts as an entry
  ASSERT_EQ(list.size(), 5u);
  EXPECT_EQ(list.toVector(), (Paths{"/share/docs/a.pdf", "/share/docs/sub/b", "/share/docs/c",
                                    "/elsewhere/d.txt", "/share/docs/sub/"}));
  EXPECT_EQ(list[3], "/elsewhere/d.txt");
  // One buffer for a whole loop: each path replaces the one before, longer or shorter.
  std::string buffer = "left over from before";
  list.path(1, buffer);
  EXPECT_EQ(buffer, "/share/docs/sub/b");
  list.path(3, buffer);
  EXPECT_EQ(buffer, "/elsewhere/d.txt");
}

TEST(FileList, PlainListsConvertBothWays) {
  const Paths paths = {"/a", "", "/b/\xff\"quoted\\", "/a"};
  const FileList list = paths;
  EXPECT_EQ(list.toVector(), paths);
  EXPECT_TRUE(FileList().empty());
  EXPECT_TRUE(FileList(Paths{}).toVector().empty());
}

TEST(FileList, AppendedListsKeepTheirFoldersApart) {
  FileList first;
  first.push_back("/x/whole");
  const uint32_t one = first.addFolder("/one");
  first.add(one, "f");
  FileList second;
  const uint32_t two = second.addFolder("/two");
  second.add(two, "g");
  second.push_back("/y/whole");
  const uint32_t three = second.addFolder("/three");
  second.add(three, "h");
  second.add(two, "i");
  first.append(std::move(second));
  EXPECT_TRUE(second.empty());
  EXPECT_EQ(first.toVector(),
            (Paths{"/x/whole", "/one/f", "/two/g", "/y/whole", "/three/h", "/two/i"}));
  // Files added after the append still go to the folders they name.
  first.add(one, "later");
  EXPECT_EQ(first[6], "/one/later");

  FileList empty;
  empty.append(FileList(Paths{"/p", "/q"}));
  EXPECT_EQ(empty.toVector(), (Paths{"/p", "/q"}));
  empty.append(FileList());
  EXPECT_EQ(empty.size(), 2u);
}

}  // namespace
