#include "Faults.h"

#include <gtest/gtest.h>

namespace pellora::gatewaysim {
namespace {

TEST(Faults, NormalisesRelativePaths) {
  EXPECT_EQ(Faults::normalise("/"), "");
  EXPECT_EQ(Faults::normalise("."), "");
  EXPECT_EQ(Faults::normalise(""), "");
  EXPECT_EQ(Faults::normalise("/a//b/"), "a/b");
  EXPECT_EQ(Faults::normalise("./a/./b c"), "a/b c");
}

TEST(Faults, UnreadableFoldersShowButTheirEntriesAreRefused) {
  Faults faults;
  faults.unreadable("private");
  EXPECT_EQ(faults.errorFor("private", Access::List), 0);  // it still shows in its parent
  EXPECT_EQ(faults.errorFor("private", Access::Enumerate), EPERM);
  EXPECT_EQ(faults.errorFor("private/sub", Access::Enumerate), EPERM);
  EXPECT_EQ(faults.errorFor("private/f", Access::Content), EPERM);
  EXPECT_EQ(faults.errorFor("public", Access::Enumerate), 0);
  faults.deny("denied");
  EXPECT_EQ(faults.errorFor("denied", Access::Enumerate), 0);  // a denial still lists
  faults.clear();
  EXPECT_EQ(faults.errorFor("private", Access::Enumerate), 0);
}

TEST(Faults, RulesCoverThePathAndWhatIsBelowIt) {
  EXPECT_TRUE(Faults::covers("a", "a"));
  EXPECT_TRUE(Faults::covers("a", "a/b"));
  EXPECT_FALSE(Faults::covers("a", "ab"));
  EXPECT_FALSE(Faults::covers("a/b", "a"));
  EXPECT_TRUE(Faults::covers("", "anything/at/all"));
  EXPECT_TRUE(Faults::covers("", ""));
}

TEST(Faults, DenialRefusesAllButListing) {
  Faults faults;
  faults.deny("/locked/");
  for (auto access : {Access::Attribute, Access::Content, Access::Change}) {
    EXPECT_EQ(faults.errorFor("locked", access), EPERM);
    EXPECT_EQ(faults.errorFor("locked/f", access), EPERM);
  }
  EXPECT_EQ(faults.errorFor("locked", Access::List), 0);
  EXPECT_EQ(faults.errorFor("locked/f", Access::List), 0);
  EXPECT_EQ(faults.errorFor("lockedout", Access::Attribute), 0);
  EXPECT_EQ(faults.errorFor("", Access::Attribute), 0);
}

TEST(Faults, OutageRefusesEverythingAndWinsOverDenial) {
  Faults faults;
  faults.deny("a");
  faults.outage("a/b", ETIMEDOUT);
  faults.outage("c", EHOSTDOWN);
  EXPECT_EQ(faults.errorFor("a/b/f", Access::List), ETIMEDOUT);
  EXPECT_EQ(faults.errorFor("a/b/f", Access::Attribute), ETIMEDOUT);
  EXPECT_EQ(faults.errorFor("a/x", Access::Attribute), EPERM);
  EXPECT_EQ(faults.errorFor("c", Access::List), EHOSTDOWN);
}

TEST(Faults, TheRootCoversTheWholeShare) {
  Faults faults;
  faults.outage("/", EHOSTDOWN);
  EXPECT_EQ(faults.errorFor("", Access::List), EHOSTDOWN);
  EXPECT_EQ(faults.errorFor("x/y", Access::Content), EHOSTDOWN);
}

TEST(Faults, FailingFilesTakeDigitsOneToNine) {
  Faults faults;
  EXPECT_TRUE(faults.fail("/d/f.txt", 4));
  EXPECT_EQ(faults.failDigit("d/f.txt"), 4);
  EXPECT_EQ(faults.failDigit("d"), 0);  // only the file itself
  EXPECT_FALSE(faults.fail("d/f.txt", 10));
  EXPECT_FALSE(faults.fail("d/f.txt", -1));
  EXPECT_EQ(faults.failDigit("d/f.txt"), 4);
  EXPECT_TRUE(faults.fail("d/f.txt", 0));
  EXPECT_EQ(faults.failDigit("d/f.txt"), 0);
}

TEST(Faults, ClearKeepsTheLatency) {
  Faults faults;
  faults.setLatency(Faults::Millis(200));
  faults.setSlow(Faults::Millis(50));
  faults.deny("a");
  faults.outage("b", ETIMEDOUT);
  faults.fail("c", 3);
  faults.clear();
  EXPECT_EQ(faults.errorFor("a", Access::Attribute), 0);
  EXPECT_EQ(faults.errorFor("b", Access::List), 0);
  EXPECT_EQ(faults.failDigit("c"), 0);
  EXPECT_EQ(faults.slow().count(), 0);
  EXPECT_EQ(faults.latency().count(), 200);
}

}  // namespace
}  // namespace pellora::gatewaysim
