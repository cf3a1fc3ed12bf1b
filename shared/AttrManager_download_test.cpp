#include <gtest/gtest.h>

#include "AttrManager.h"
#include "TempDir.h"
#include "log/Capture.h"
#include "xattr/Xattr.h"

namespace {

using pellora::testing::TempDir;
using State = AttrManager::DownloadState;

// On a plain folder the download attribute is just an attribute; its value is the answer.
State download(const TempDir& dir, const std::string& name, const std::optional<std::string>& value) {
  const std::string file = dir.write(name);
  if (value) platform::xattr::set(file, "zavro.download.file", value->data(), value->size(), 0, 0);
  return AttrManager().bringFileOnline(file);
}

TEST(BringFileOnline, DigitsMapToStates) {
  TempDir dir;
  EXPECT_EQ(download(dir, "ok", "0"), State::success);
  EXPECT_EQ(download(dir, "online", "7"), State::isNotStub);
  EXPECT_EQ(download(dir, "nine", "9"), State::syncDisabledCriticalStorage);
  // Only the first byte counts: "12" is 1.
  EXPECT_EQ(download(dir, "twelve", "12"), State::syncSuspended);
}

TEST(BringFileOnline, UnreadableOrMalformedAnswersAreInsertFailures) {
  TempDir dir;
  platform::log::Capture capture;
  EXPECT_EQ(download(dir, "absent", std::nullopt), State::insertToQueueFailed);
  EXPECT_EQ(download(dir, "letter", "x"), State::insertToQueueFailed);
  EXPECT_EQ(download(dir, "empty", ""), State::insertToQueueFailed);
  EXPECT_EQ(download(dir, "high", "\xC3"), State::insertToQueueFailed);
  EXPECT_EQ(download(dir, "long", "123"), State::insertToQueueFailed);  // too long to read
  EXPECT_TRUE(capture.records().empty());  // none of these is logged
}

TEST(BringFileOnline, FailuresAreLoggedForTheUserWithTheFileName) {
  TempDir dir;
  platform::log::Capture capture;
  EXPECT_EQ(download(dir, "report.pdf", "5"), State::failedToFindFile);
  ASSERT_EQ(capture.records().size(), 1u);
  const std::string line = capture.records()[0].message;
  EXPECT_NE(line.find("ZAVRO_LOG ZV_DOWNLOAD_LOG["), std::string::npos) << line;
  // Without a bundle the key itself is the text.
  EXPECT_NE(line.find("\"\"report.pdf\": failedToFindFile\""), std::string::npos) << line;
  EXPECT_STREQ(AttrManager::caseName(State::downloadDisabledCriticalStorage),
               "downloadDisabledCriticalStorage");
}

}  // namespace
