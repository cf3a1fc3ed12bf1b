#include "ProgressView.h"

#include <gtest/gtest.h>

namespace pellora::cli {
namespace {

using namespace std::chrono_literals;

ProgressState midway() {
  ProgressState s;
  s.filesDone = 10;
  s.filesTotal = 40;
  s.bytesDone = 3'000'000;
  s.bytesTotal = 12'000'000;
  s.elapsed = 2s;
  s.currentFile = "/share/projects/2024/report.pdf";
  return s;
}

TEST(ProgressView, BarShowsFilesBytesRateTimeLeftAndTheCurrentFile) {
  EXPECT_EQ(renderBar(midway(), 200),
            "[#####---------------]  10/40 files  3.0 MB of 12.0 MB  1.5 MB/s  0:06 left  "
            "/share/projects/2024/report.pdf");
  // Narrower: the file's name keeps its end.
  const std::string narrow = renderBar(midway(), 90);
  EXPECT_EQ(columns(narrow), 90u);
  EXPECT_TRUE(narrow.ends_with("0:06 left  …4/report.pdf")) << narrow;
  // Narrower still: no file, and the line is cut at the width.
  EXPECT_EQ(renderBar(midway(), 30), "[#####---------------]  10/40 ");

  ProgressState done = midway();
  done.filesDone = 40;
  done.bytesDone = done.bytesTotal;
  done.currentFile.clear();
  EXPECT_EQ(renderBar(done, 200), "[####################]  40/40 files  12.0 MB of 12.0 MB  6.0 MB/s  0:00 left");

  ProgressState canceling = midway();
  canceling.canceling = true;
  EXPECT_NE(renderBar(canceling, 200).find("  canceling after this file  /share/"), std::string::npos);
}

TEST(ProgressView, TimeLeftByBytesThenByFiles) {
  ProgressState s = midway();
  EXPECT_DOUBLE_EQ(secondsLeft(s), 6.0);
  // Nothing downloaded yet (online files only so far): by the files' pace.
  s.bytesDone = 0;
  EXPECT_DOUBLE_EQ(secondsLeft(s), 6.0);
  s.filesDone = 0;
  EXPECT_LT(secondsLeft(s), 0);
  s.elapsed = 0s;
  s.filesDone = 3;
  EXPECT_LT(secondsLeft(s), 0);
  // Every file done, a failed one's bytes never coming: nothing is left.
  s.filesDone = 40;
  s.bytesDone = 1;
  EXPECT_EQ(secondsLeft(s), 0);
  // Nothing to download at all: the bar shows files only.
  ProgressState online;
  online.filesDone = 1;
  online.filesTotal = 2;
  online.elapsed = 1s;
  EXPECT_EQ(renderBar(online, 200), "[##########----------]  1/2 files  0:01 left");

  EXPECT_EQ(formatDuration(-1), "--:--");
  EXPECT_EQ(formatDuration(0.4), "0:00");
  EXPECT_EQ(formatDuration(65), "1:05");
  EXPECT_EQ(formatDuration(754), "12:34");
  EXPECT_EQ(formatDuration(3723), "1:02:03");
}

TEST(ProgressView, PlainLinesPerFile) {
  EXPECT_EQ(renderFileLine(3, 40, FileOutcome::BroughtOnline, "/share/a.pdf", ""), "[3/40] brought online: /share/a.pdf");
  EXPECT_EQ(renderFileLine(4, 40, FileOutcome::AlreadyOnline, "/share/c.txt", ""), "[4/40] already online: /share/c.txt");
  EXPECT_EQ(renderFileLine(5, 40, FileOutcome::Failed, "/share/lost.pdf", "The gateway could not find the file."),
            "[5/40] failed: /share/lost.pdf: The gateway could not find the file.");
}

TEST(ProgressView, ColumnsCountCodePoints) {
  EXPECT_EQ(columns("Résumé"), 6u);
  EXPECT_EQ(lastColumns("Résumé café.pdf", 9), "…café.pdf");
  EXPECT_EQ(lastColumns("short", 9), "short");
  EXPECT_EQ(lastColumns("abc", 0), "");
}

}  // namespace
}  // namespace pellora::cli
