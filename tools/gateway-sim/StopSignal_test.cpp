#include "StopSignal.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <thread>

namespace pellora::gatewaysim {
namespace {

using namespace std::chrono_literals;

TEST(StopSignal, SleepsUntilTriggered) {
  StopSignal stop;
  EXPECT_FALSE(stop.triggered());
  EXPECT_TRUE(stop.sleepFor(5ms));
  EXPECT_TRUE(stop.sleepFor(0ms));
  std::thread trigger([&] { stop.trigger(); });
  EXPECT_FALSE(stop.sleepFor(std::chrono::hours(1)));  // returns when the trigger comes
  trigger.join();
  EXPECT_TRUE(stop.triggered());
  EXPECT_FALSE(stop.sleepFor(0ms));
  EXPECT_FALSE(stop.sleepFor(1ms));  // every later wait ends too
}

TEST(StopSignal, WaitsForADescriptorOrTheStop) {
  StopSignal stop;
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  ASSERT_EQ(::write(fds[1], "x", 1), 1);
  EXPECT_TRUE(stop.waitReadable(fds[0]));
  char c;
  ASSERT_EQ(::read(fds[0], &c, 1), 1);
  std::thread trigger([&] { stop.trigger(); });
  EXPECT_FALSE(stop.waitReadable(fds[0]));
  trigger.join();
  ::close(fds[0]);
  ::close(fds[1]);
}

}  // namespace
}  // namespace pellora::gatewaysim
