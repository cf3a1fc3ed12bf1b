#include "core/RequestFraming.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using Kind = ReceiveStep::Kind;

const auto isKey = [](const std::string& first) { return first == "{K}\n"; };

TEST(RequestFraming, OpeningMustComeWholeAndAloneInTheFirstRead) {
  const std::vector<std::string> wrong = {"{K}", "{K}\n{\"command\":\"x\"}\r\n", "",
                                          std::string("\0{K}\n", 5)};
  for (const std::string& first : wrong) {
    ReceiveState state;
    EXPECT_EQ(receiveRead(state, first, isKey, 100).kind, Kind::Rejected) << first;
  }
  ReceiveState state;
  // Bytes after a NUL are not part of the read's text.
  EXPECT_EQ(receiveRead(state, std::string("{K}\n\0junk", 9), isKey, 100).kind, Kind::Opened);
  EXPECT_TRUE(state.opened);
}

TEST(RequestFraming, TextIsHandedOverUpToTheLastLineBreak) {
  ReceiveState state;
  receiveRead(state, "{K}\n", isKey, 100);
  EXPECT_EQ(receiveRead(state, "ab", isKey, 100).kind, Kind::Wait);
  auto step = receiveRead(state, "c\r\nd\ne", isKey, 100);
  EXPECT_EQ(step.kind, Kind::HandOver);
  EXPECT_EQ(step.text, "abc\r\nd\n");
  EXPECT_EQ(state.accumulated, "e");
  step = receiveRead(state, std::string("f\r\0g\r\n", 6), isKey, 100);
  EXPECT_EQ(step.kind, Kind::HandOver);
  EXPECT_EQ(step.text, "ef\r");
  EXPECT_EQ(state.accumulated, "");
}

TEST(RequestFraming, TextPastTheCapWithoutALineBreakIsRefused) {
  ReceiveState state;
  receiveRead(state, "{K}\n", isKey, 10);
  EXPECT_EQ(receiveRead(state, "0123456789", isKey, 10).kind, Kind::Wait);
  EXPECT_EQ(receiveRead(state, "x", isKey, 10).kind, Kind::TooLong);
  // A line break in time hands over whatever came before it, however long.
  ReceiveState other;
  receiveRead(other, "{K}\n", isKey, 10);
  receiveRead(other, "0123456789", isKey, 10);
  const auto step = receiveRead(other, "abc\n", isKey, 10);
  EXPECT_EQ(step.kind, Kind::HandOver);
  EXPECT_EQ(step.text.size(), 14u);
}

}  // namespace
