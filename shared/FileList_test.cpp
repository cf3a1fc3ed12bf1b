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

// Enough files, long names among them, to fill many storage blocks; every path must read back
// the same in order, one at a time, and after an append that starts at an odd position.
TEST(FileList, LongListsReadBackWholeAnywhere) {
  FileList list;
  Paths expected;
  const uint32_t folder = list.addFolder("/share/big");
  for (size_t i = 0; i < 20000; ++i) {
    std::string name = "file" + std::to_string(i);
    if (i % 997 == 0) name += std::string(70000 + i, 'x');  // longer than a block
    if (i % 3 == 0) {
      list.add(folder, name);
      expected.push_back("/share/big/" + name);
    } else {
      list.push_back("/whole/" + name);
      expected.push_back("/whole/" + name);
    }
  }
  ASSERT_EQ(list.size(), expected.size());
  EXPECT_EQ(list.toVector(), expected);
  std::string buffer;
  for (size_t i = expected.size(); i-- > 0;) {
    list.path(i, buffer);
    ASSERT_EQ(buffer, expected[i]) << "at " << i;
  }

  FileList odd;
  odd.push_back("/first");
  odd.append(std::move(list));
  expected.insert(expected.begin(), "/first");
  ASSERT_EQ(odd.size(), expected.size());
  for (size_t i : {size_t{0}, size_t{1}, size_t{31}, size_t{32}, size_t{33}, size_t{9971}, expected.size() - 1}) {
    EXPECT_EQ(odd[i], expected[i]) << "at " << i;
  }
  EXPECT_EQ(odd.toVector(), expected);
}

}  // namespace
