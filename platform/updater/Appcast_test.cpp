#include "updater/Appcast.h"

#include <gtest/gtest.h>

#include "updater/Version.h"

namespace platform::updater {
namespace {

TEST(Version, NumbersCompareAsNumbersAndTagsMarkPreReleases) {
  EXPECT_GT(compareVersions("1.2.10", "1.2.9"), 0);
  EXPECT_LT(compareVersions("1.2.9", "1.2.10"), 0);
  EXPECT_EQ(compareVersions("1.2", "1.2.0"), 0);
  EXPECT_EQ(compareVersions("01.002", "1.2"), 0);
  EXPECT_GT(compareVersions("1.2.0.1", "1.2"), 0);
  EXPECT_GT(compareVersions("10", "9"), 0);
  EXPECT_GT(compareVersions("123456789012345678901234567890", "99999999999999999999"), 0);
  EXPECT_LT(compareVersions("1.0b1", "1.0"), 0);
  EXPECT_LT(compareVersions("1.0b1", "1.0b2"), 0);
  EXPECT_LT(compareVersions("1.0a5", "1.0b1"), 0);
  EXPECT_GT(compareVersions("1.0.1", "1.0b9"), 0);
  EXPECT_GT(compareVersions("2", ""), 0);
}

TEST(Appcast, ReadsItemsByNamespaceAndSkipsIncompleteOnes) {
  // Another prefix for the same namespace, and versions as enclosure attributes.
  const auto appcast = parseAppcast(R"(<?xml version="1.0"?>
<rss version="2.0" xmlns:u="urn:pellora:update"><channel><title>Feed</title>
  <item><title>Two</title><u:version> 2 </u:version><u:shortVersionString>1.0.1</u:shortVersionString>
    <enclosure url="http://h/a-2.tgz" length="10" u:edSignature="c2ln"/></item>
  <item><enclosure url="http://h/a-3.tgz" length="11" u:version="3" u:shortVersionString="1.1"
    u:edSignature="c2ln"/></item>
  <item><u:version>4</u:version><enclosure url="http://h/a-4.tgz" length="12"/></item>
  <item><u:version>5</u:version><enclosure url="http://h/a-5.tgz" length="x" u:edSignature="s"/></item>
  <item><u:version>6</u:version></item>
</channel></rss>)");
  ASSERT_TRUE(appcast.has_value());
  EXPECT_EQ(appcast->title, "Feed");
  ASSERT_EQ(appcast->items.size(), 2u);
  EXPECT_EQ(appcast->skippedItems, 3u);
  EXPECT_EQ(appcast->items[0].version, "2");
  EXPECT_EQ(appcast->items[0].shortVersionString, "1.0.1");
  EXPECT_EQ(appcast->items[0].length, 10u);
  EXPECT_EQ(appcast->items[1].version, "3");
  EXPECT_EQ(appcast->items[1].url, "http://h/a-3.tgz");

  // The right names under an unknown namespace are not ours.
  const auto foreign = parseAppcast(R"(<rss xmlns:update="urn:other"><channel>
    <item><update:version>2</update:version>
    <enclosure url="u" length="1" update:edSignature="s"/></item></channel></rss>)");
  ASSERT_TRUE(foreign.has_value());
  EXPECT_TRUE(foreign->items.empty());
  EXPECT_FALSE(parseAppcast("<html><body/></html>").has_value());
  EXPECT_FALSE(parseAppcast("not xml <").has_value());
}

TEST(Appcast, WrittenFeedsReadBackAndTheNewestNewerItemIsChosen) {
  Appcast appcast;
  appcast.title = "Zavro & Co <updates>";
  appcast.items = {{"a", "1.2.10", "1.2.10", "http://h/10?x=1&y=2", 100, "c2lnMTA="},
                   {"b", "1.2.9", "1.2.9", "http://h/9", 90, "c2lnOQ=="},
                   {"c", "1.3b1", "1.3 beta", "http://h/13", 130, "c2lnMTM="}};
  const auto back = parseAppcast(writeAppcast(appcast));
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(back->title, appcast.title);
  ASSERT_EQ(back->items.size(), 3u);
  EXPECT_EQ(back->items[0].url, "http://h/10?x=1&y=2");
  EXPECT_EQ(back->items[2].shortVersionString, "1.3 beta");

  EXPECT_EQ(newestItemAbove(back->items, "1.2.8")->version, "1.3b1");
  EXPECT_EQ(newestItemAbove({appcast.items[0], appcast.items[1]}, "1.2.8")->version, "1.2.10");
  EXPECT_FALSE(newestItemAbove(back->items, "1.3").has_value());
  EXPECT_FALSE(newestItemAbove({}, "1").has_value());
}

}  // namespace
}  // namespace platform::updater
