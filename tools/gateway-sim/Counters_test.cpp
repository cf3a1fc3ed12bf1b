#include "Counters.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace pellora::gatewaysim {
namespace {

TEST(Counters, StartEmptyAsJsonObjects) {
  Counters counters;
  const auto json = counters.toJson();
  for (const char* key : {"downloadReads", "downloads", "contentReads", "errors"}) {
    ASSERT_TRUE(json.contains(key)) << key;
    EXPECT_TRUE(json[key].is_object()) << key;
    EXPECT_TRUE(json[key].empty()) << key;
  }
}

TEST(Counters, CountPerFileAndPerErrnoName) {
  Counters counters;
  counters.countDownloadRead("a/f");
  counters.countDownloadRead("a/f");
  counters.countDownload("a/f");
  counters.countContentRead("b c/g");
  counters.countError(EPERM);
  counters.countError(EPERM);
  counters.countError(ETIMEDOUT);
  const auto json = counters.toJson();
  EXPECT_EQ(json["downloadReads"]["a/f"], 2);
  EXPECT_EQ(json["downloads"]["a/f"], 1);
  EXPECT_EQ(json["contentReads"]["b c/g"], 1);
  EXPECT_EQ(json["errors"]["EPERM"], 2);
  EXPECT_EQ(json["errors"]["ETIMEDOUT"], 1);
  counters.reset();
  EXPECT_TRUE(counters.toJson()["downloadReads"].empty());
  EXPECT_TRUE(counters.toJson()["errors"].empty());
}

TEST(Counters, ErrnoNamesBothWays) {
  EXPECT_EQ(errnoName(EHOSTDOWN), "EHOSTDOWN");
  EXPECT_EQ(errnoName(ENODATA), "ENODATA");
  EXPECT_EQ(errnoName(99999), "E99999");
  EXPECT_EQ(errnoFromName("ETIMEDOUT"), ETIMEDOUT);
  EXPECT_EQ(errnoFromName("EHOSTDOWN"), EHOSTDOWN);
  EXPECT_EQ(errnoFromName("ENOTANERRNO"), 0);
  EXPECT_EQ(errnoFromName(""), 0);
}

}  // namespace
}  // namespace pellora::gatewaysim
