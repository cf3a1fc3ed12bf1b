#include "log/Log.h"

#include <gtest/gtest.h>

#include <thread>

#include "log/Capture.h"
#include "log/Journal.h"

namespace platform::log {
namespace {

using namespace std::chrono_literals;

TEST(Log, RecordsCarrySubsystemCategoryAndLevel) {
  Capture capture;
  Log shell("com.zavro.Pellora", "Shell");
  shell.infof("Monitoring path:%s", "/Volumes/share");
  shell.errorf("Unable to start listen to port:%d.", 4242);
  classicf("%s. %s", "ZAVRO_LOG", "Connected");
  const auto records = capture.records();
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0].subsystem, "com.zavro.Pellora");
  EXPECT_EQ(records[0].category, "Shell");
  EXPECT_EQ(records[0].level, Level::Default);
  EXPECT_EQ(records[0].message, "Monitoring path:/Volumes/share");
  EXPECT_EQ(records[1].level, Level::Error);
  EXPECT_EQ(records[1].message, "Unable to start listen to port:4242.");
  EXPECT_EQ(records[2].subsystem, "");
  EXPECT_EQ(records[2].message, "ZAVRO_LOG. Connected");
}

TEST(Log, CapturesSeeOnlyWhatCameWhileTheyLived) {
  Log log("s", "c");
  log.info("before");
  Capture capture;
  {
    Capture inner;
    log.info("both");
    EXPECT_EQ(inner.messages(), std::vector<std::string>{"both"});
  }
  log.info("outer only");
  EXPECT_EQ(capture.messages(), (std::vector<std::string>{"both", "outer only"}));
  EXPECT_EQ(capture.count("o"), 2u);
}

TEST(Log, WaitForSeesRecordsFromOtherThreads) {
  Capture capture;
  std::thread([] { Log("s", "c").error("from a thread"); }).join();
  EXPECT_TRUE(capture.waitFor("from a thread", 1s));
  EXPECT_FALSE(capture.waitFor("never logged", 10ms));
}

TEST(Log, JournalEntriesCarryTheCallersSubsystemUnderNeutralNames) {
  EXPECT_EQ(journalFields({"com.example.Tool", "Net", Level::Error, "a=b\nsecond line"}),
            (std::vector<std::string>{"MESSAGE=a=b\nsecond line", "PRIORITY=3",
                                      "LOG_SUBSYSTEM=com.example.Tool", "LOG_CATEGORY=Net"}));
  // Classic lines have neither subsystem nor category.
  EXPECT_EQ(journalFields({"", "", Level::Default, "plain"}),
            (std::vector<std::string>{"MESSAGE=plain", "PRIORITY=5"}));
}

}  // namespace
}  // namespace platform::log
