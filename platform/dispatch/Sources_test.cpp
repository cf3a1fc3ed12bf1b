#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <future>

#include "TempDir.h"
#include "Wait.h"
#include "dispatch/FdSource.h"
#include "dispatch/TimerSource.h"
#include "dispatch/VnodeSource.h"

namespace platform::dispatch {
namespace {

using namespace std::chrono_literals;
using pellora::testing::TempDir;
using pellora::testing::waitUntil;

TEST(TimerSource, FiresOnItsQueueUntilCancelled) {
  auto queue = makeSerialQueue("test.timer");
  std::atomic<int> fires{0};
  std::atomic<bool> onQueue{true};
  TimerSource timer(queue, 0ms, 20ms, [&] {
    if (!queue->isCurrent()) onQueue = false;
    ++fires;
  });
  EXPECT_EQ(fires.load(), 0);  // nothing before resume
  timer.resume();
  EXPECT_TRUE(waitUntil([&] { return fires >= 3; }, 5s));
  timer.cancel();
  EXPECT_TRUE(timer.isCancelled());
  queue->sync([] {});  // a fire queued before the cancel has now run or been dropped
  const int after = fires;
  std::promise<void> marker;
  queue->asyncAfter(120ms, [&] { marker.set_value(); });
  ASSERT_EQ(marker.get_future().wait_for(5s), std::future_status::ready);
  EXPECT_EQ(fires.load(), after);
  EXPECT_TRUE(onQueue.load());
}

TEST(TimerSource, OneShotFiresOnce) {
  auto queue = makeSerialQueue("test.timer-once");
  std::atomic<int> fires{0};
  TimerSource timer(queue, 10ms, 0ms, [&] { ++fires; });
  timer.resume();
  EXPECT_TRUE(waitUntil([&] { return fires == 1; }, 5s));
  std::promise<void> marker;
  queue->asyncAfter(80ms, [&] { marker.set_value(); });
  ASSERT_EQ(marker.get_future().wait_for(5s), std::future_status::ready);
  EXPECT_EQ(fires.load(), 1);
}

TEST(FdSource, ReadSourceHandsDataToTheQueue) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  auto queue = makeSerialQueue("test.read");
  std::mutex m;
  std::string got;
  std::atomic<bool> onQueue{true};
  FdSource source(fds[0], FdSource::Kind::Read, queue, [&] {
    if (!queue->isCurrent()) onQueue = false;
    char buf[64];
    const ssize_t n = ::read(fds[0], buf, sizeof buf);
    std::lock_guard l(m);
    if (n > 0) got.append(buf, static_cast<size_t>(n));
  });
  source.resume();
  ASSERT_EQ(::write(fds[1], "hello ", 6), 6);
  EXPECT_TRUE(waitUntil([&] { std::lock_guard l(m); return got == "hello "; }, 5s));
  ASSERT_EQ(::write(fds[1], "again", 5), 5);
  EXPECT_TRUE(waitUntil([&] { std::lock_guard l(m); return got == "hello again"; }, 5s));
  EXPECT_TRUE(onQueue.load());
  source.cancel();
  ::close(fds[0]);
  ::close(fds[1]);
}

TEST(FdSource, WriteSourceFiresWhenWritable) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  auto queue = makeSerialQueue("test.write");
  std::promise<void> fired;
  std::atomic<bool> once{false};
  FdSource source(fds[1], FdSource::Kind::Write, queue, [&] {
    if (!once.exchange(true)) fired.set_value();
  });
  source.resume();
  EXPECT_EQ(fired.get_future().wait_for(5s), std::future_status::ready);
  source.cancel();
  ::close(fds[0]);
  ::close(fds[1]);
}

TEST(VnodeSource, ReportsWritesInTheFolder) {
  TempDir dir;
  auto queue = makeSerialQueue("test.vnode");
  std::atomic<uint32_t> flags{0};
  VnodeSource source(dir.path(), queue, [&](uint32_t f) { flags |= f; });
  ASSERT_TRUE(source.valid());
  source.resume();
  dir.write("file.json", "{}");
  EXPECT_TRUE(waitUntil([&] { return (flags & VnodeSource::kWrite) != 0; }, 5s));
  source.cancel();
}

TEST(VnodeSource, MissingFolderIsNotValid) {
  VnodeSource source("/nonexistent/folder/for/test", makeSerialQueue("test.vnode-missing"),
                     [](uint32_t) {});
  EXPECT_FALSE(source.valid());
  source.resume();  // harmless
}

}  // namespace
}  // namespace platform::dispatch
