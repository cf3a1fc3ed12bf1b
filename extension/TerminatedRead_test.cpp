#include "TerminatedRead.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using Status = TerminatedRead::Status;

TEST(TerminatedRead, CompletesAtTheFirstTerminatorEvenWhenItArrivesSplit) {
  std::string buffer = "{\"a\":1}\r";
  auto scan = scanTerminatedRead(buffer, "\r\n", 0);
  ASSERT_EQ(scan.status, Status::NeedMore);
  EXPECT_EQ(scan.resumeAt, buffer.size() - 1);  // the CR may start the terminator
  buffer += "\n{\"b\":2}\r\n";
  scan = scanTerminatedRead(buffer, "\r\n", 0, scan.resumeAt);
  ASSERT_EQ(scan.status, Status::Complete);
  EXPECT_EQ(buffer.substr(0, scan.length), "{\"a\":1}\r\n");
}

TEST(TerminatedRead, MaximumLengthCountsTheTerminator) {
  EXPECT_EQ(scanTerminatedRead("abc\r\n", "\r\n", 5).status, Status::Complete);
  EXPECT_EQ(scanTerminatedRead("abcd\r\n", "\r\n", 5).status, Status::MaxedOut);
  EXPECT_EQ(scanTerminatedRead("abcd", "\r\n", 5).status, Status::NeedMore);
  // Five bytes without a terminator can no longer end in time.
  EXPECT_EQ(scanTerminatedRead("abcde", "\r\n", 5).status, Status::MaxedOut);
  EXPECT_EQ(scanTerminatedRead(std::string(1 << 20, 'x'), "\r\n", 0).status, Status::NeedMore);
}

}  // namespace
