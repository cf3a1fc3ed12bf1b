#include "text/Format.h"
#include "text/Split.h"

#include <gtest/gtest.h>

namespace platform::text {
namespace {

TEST(Format, ReplacesTextPlaceholdersInOrder) {
  EXPECT_EQ(format("%@ of %@ files", {"3", "10"}), "3 of 10 files");
  EXPECT_EQ(format("StreamError: %@", {"nil"}), "StreamError: nil");
  EXPECT_EQ(format("100%% done", {}), "100% done");
}

TEST(Format, PositionalPlaceholdersAndShortLists) {
  EXPECT_EQ(format("%2$@ before %1$@", {"a", "b"}), "b before a");
  EXPECT_EQ(format("%@ and %@", {"only"}), "only and ");
  EXPECT_EQ(format("keeps %d and a lone %", {}), "keeps %d and a lone %");
}

TEST(Format, ByteCountsInPowersOfAThousand) {
  EXPECT_EQ(byteCount(0), "Zero bytes");
  EXPECT_EQ(byteCount(1), "1 byte");
  EXPECT_EQ(byteCount(999), "999 bytes");
  EXPECT_EQ(byteCount(1000), "1.0 KB");
  EXPECT_EQ(byteCount(4096), "4.1 KB");
  EXPECT_EQ(byteCount(12'345'678), "12.3 MB");
  EXPECT_EQ(byteCount(99'949), "99.9 KB");
  EXPECT_EQ(byteCount(99'950), "100 KB");
  EXPECT_EQ(byteCount(123'456'789'012), "123 GB");
  // Rounding up to a thousand moves to the next unit.
  EXPECT_EQ(byteCount(999'499), "999 KB");
  EXPECT_EQ(byteCount(999'600), "1.0 MB");
  EXPECT_EQ(byteCount(UINT64_MAX), "18447 PB");
}

TEST(Split, PiecesBetweenSeparators) {
  using V = std::vector<std::string_view>;
  EXPECT_EQ(split("a\r\nb\r\n", "\r\n"), (V{"a", "b", ""}));
  EXPECT_EQ(split("", "\n\r"), (V{""}));
  EXPECT_EQ(split("/a\n\r/b", "\n\r"), (V{"/a", "/b"}));
  EXPECT_EQ(split("/a\r\n/b", "\n\r"), (V{"/a\r\n/b"}));
  EXPECT_EQ(split("x", ""), (V{"x"}));
}

}  // namespace
}  // namespace platform::text
