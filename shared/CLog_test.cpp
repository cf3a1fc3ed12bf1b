#include "CLog.h"

#include <gtest/gtest.h>

#include <regex>
#include <thread>

#include "log/Capture.h"

namespace {

using platform::log::Capture;

TEST(CLog, LineMatchesTheDocumentedExample) {
  EXPECT_EQ(CLog::buildLine("Service init", std::nullopt, StringTag::Service, false, 42,
                            "/src/service/ShellExtentionController.swift", "14:03:27.512"),
            "ZAVRO_LOG[14:03:27.512]: \"Service init\". <Service>, ShellExtentionController (42)");
}

TEST(CLog, EmitsOneRecordWithTheUserMarkerAndArgument) {
  Capture capture;
  CLog::pExp("Downloaded", std::string("file.txt"), StringTag::FinderExt, true, 7,
             "/a/b/FileQueueManager.cpp", "streamFiles");
  const auto records = capture.records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].subsystem, "com.zavro.Pellora");
  EXPECT_EQ(records[0].category, "CLog");
  EXPECT_EQ(records[0].level, platform::log::Level::Default);
  const std::regex form(
      R"(ZAVRO_LOG ZV_DOWNLOAD_LOG\[\d\d:\d\d:\d\d\.\d\d\d\]: "Downloaded file\.txt"\. <FinderExt>, FileQueueManager \(7\))");
  EXPECT_TRUE(std::regex_match(records[0].message, form)) << records[0].message;
  EXPECT_EQ(records[0].message.find("streamFiles"), std::string::npos);
}

TEST(CLog, WithoutTheUserMarkerTheBracketFollowsThePrefix) {
  Capture capture;
  CLOG(StringTag::Launcher, "Started");
  ASSERT_EQ(capture.records().size(), 1u);
  const std::string line = capture.records()[0].message;
  EXPECT_EQ(line.rfind("ZAVRO_LOG[", 0), 0u) << line;
  // The macro captured this file and line, and not the function name.
  EXPECT_NE(line.find("<Launcher>, CLog_test ("), std::string::npos) << line;
  EXPECT_EQ(line.find("TestBody"), std::string::npos);
}

TEST(CLog, FormatEntryPrintsAbsentArgumentsAsNil) {
  Capture capture;
  CLOGF(StringTag::Service, "StreamError: %@", std::nullopt);
  CLOGF_USER(StringTag::Service, "%@ of %@", std::string("3"), std::string("9"));
  const auto messages = capture.messages();
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_NE(messages[0].find(": \"StreamError: nil\". <Service>"), std::string::npos) << messages[0];
  EXPECT_NE(messages[1].find("ZAVRO_LOG ZV_DOWNLOAD_LOG["), std::string::npos);
  EXPECT_NE(messages[1].find("\"3 of 9\""), std::string::npos);
}

TEST(CLog, RendersNonTextValues) {
  EXPECT_EQ(CLog::render(42), "42");
  EXPECT_EQ(CLog::render(true), "true");
  EXPECT_EQ(CLog::render(std::optional<int>()), "nil");
  EXPECT_EQ(CLog::render(std::string("as is")), "as is");
  Capture capture;
  CLOG_ARG(StringTag::Service, "Count", 3);
  EXPECT_NE(capture.messages().at(0).find("\"Count 3\""), std::string::npos);
}

TEST(CLog, ShortFileName) {
  EXPECT_EQ(CLog::shortFileName("/x/y/CLogger.swift"), "CLogger");
  EXPECT_EQ(CLog::shortFileName("/x/y/CLogger.cpp"), "CLogger");
  EXPECT_EQ(CLog::shortFileName("service/core/TCPServer.h"), "TCPServer");
  EXPECT_EQ(CLog::shortFileName("dir//Makefile/"), "Makefile");
  EXPECT_EQ(CLog::shortFileName("/a/.hidden"), ".hidden");
  EXPECT_EQ(CLog::shortFileName("///"), "-");
  EXPECT_EQ(CLog::shortFileName(""), "-");
}

TEST(CLog, TimeOfDayHasFixedWidths) {
  const std::regex form(R"(([01]\d|2[0-3]):[0-5]\d:[0-5]\d\.\d\d\d)");
  EXPECT_TRUE(std::regex_match(CLog::formattedNow(), form)) << CLog::formattedNow();
}

TEST(CLog, CallsFromManyThreadsEachGiveOneRecord) {
  Capture capture;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([] {
      for (int i = 0; i < 50; ++i) CLOG(StringTag::Service, "threaded");
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(capture.count("\"threaded\""), 200u);
}

}  // namespace
