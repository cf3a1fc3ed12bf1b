#include "dispatch/Queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <future>
#include <latch>
#include <mutex>
#include <vector>

#include "Wait.h"

namespace platform::dispatch {
namespace {

using namespace std::chrono_literals;
using pellora::testing::waitUntil;

TEST(SerialQueue, RunsWorkInOrderOneAtATime) {
  auto queue = makeSerialQueue("test.order");
  EXPECT_EQ(queue->label(), "test.order");
  std::vector<int> seen;
  std::atomic<int> inFlight{0};
  std::atomic<int> maxInFlight{0};
  for (int i = 0; i < 500; ++i) {
    queue->async([&, i] {
      const int now = ++inFlight;
      maxInFlight = std::max(maxInFlight.load(), now);
      seen.push_back(i);
      --inFlight;
    });
  }
  queue->sync([] {});
  ASSERT_EQ(seen.size(), 500u);
  for (int i = 0; i < 500; ++i) EXPECT_EQ(seen[static_cast<size_t>(i)], i);
  EXPECT_EQ(maxInFlight.load(), 1);
}

TEST(SerialQueue, SyncWaitsForTheWorkFromAnyOtherThread) {
  auto queue = makeSerialQueue("test.sync");
  auto other = makeSerialQueue("test.sync-other");
  int value = 0;
  queue->sync([&] { value = 1; });
  EXPECT_EQ(value, 1);
  bool inner = false;
  other->sync([&] {
    EXPECT_TRUE(other->isCurrent());
    EXPECT_FALSE(queue->isCurrent());
    queue->sync([&] { inner = queue->isCurrent(); });
  });
  EXPECT_TRUE(inner);
  EXPECT_FALSE(queue->isCurrent());
}

TEST(QueueDeathTest, SyncOnItsOwnSerialQueueAbortsNamingTheQueue) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        auto queue = makeSerialQueue("test.self-sync");
        queue->sync([&] { queue->sync([] {}); });
      },
      "sync on the serial queue \"test.self-sync\" from its own work");
  // The main queue is serial too; the test body runs on the main thread.
  EXPECT_DEATH(mainQueue()->sync([] {}), "sync on the serial queue \"com.apple.main-thread\"");
}

TEST(GlobalQueue, SyncFromItsOwnWorkRunsOnTheCallingThread) {
  std::promise<bool> result;
  globalQueue()->async([&] {
    const auto self = std::this_thread::get_id();
    bool here = false;
    globalQueue()->sync([&] { here = std::this_thread::get_id() == self; });
    result.set_value(here);
  });
  auto future = result.get_future();
  ASSERT_EQ(future.wait_for(5s), std::future_status::ready);
  EXPECT_TRUE(future.get());
}

TEST(SerialQueue, PendingWorkRunsBeforeTheQueueGoes) {
  std::atomic<int> ran{0};
  {
    auto queue = makeSerialQueue("test.drain");
    std::promise<void> gate;
    auto opened = gate.get_future().share();
    queue->async([opened] { opened.wait(); });
    for (int i = 0; i < 10; ++i) queue->async([&] { ++ran; });
    gate.set_value();
  }
  EXPECT_EQ(ran.load(), 10);
}

TEST(SerialQueue, MayBeReleasedFromItsOwnWork) {
  auto queue = makeSerialQueue("test.self-release");
  std::promise<void> done;
  auto* holder = new std::shared_ptr<Queue>(queue);
  queue.reset();
  (*holder)->async([holder, &done] {
    delete holder;  // last reference goes on the queue's own thread
    done.set_value();
  });
  EXPECT_EQ(done.get_future().wait_for(5s), std::future_status::ready);
}

TEST(Queue, AsyncAfterWaitsAtLeastTheDelayAndKeepsTheQueueAlive) {
  auto queue = makeSerialQueue("test.after");
  std::promise<Clock::time_point> fired;
  const auto start = Clock::now();
  queue->asyncAfter(150ms, [&] { fired.set_value(Clock::now()); });
  queue.reset();
  auto future = fired.get_future();
  ASSERT_EQ(future.wait_for(5s), std::future_status::ready);
  EXPECT_GE(future.get() - start, 150ms);
}

TEST(Queue, DelayedWorkRunsInDeadlineOrder) {
  auto queue = makeSerialQueue("test.after-order");
  std::mutex m;
  std::vector<int> order;
  std::latch all(3);
  queue->asyncAfter(120ms, [&] { std::lock_guard l(m); order.push_back(3); all.count_down(); });
  queue->asyncAfter(10ms, [&] { std::lock_guard l(m); order.push_back(1); all.count_down(); });
  queue->asyncAfter(60ms, [&] { std::lock_guard l(m); order.push_back(2); all.count_down(); });
  all.wait();
  queue->sync([] {});  // the last work may still hold m and the latch
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

TEST(Queue, WeaklyRunsOnlyWhileTheObjectLives) {
  auto queue = makeSerialQueue("test.weak");
  struct Counter {
    int calls = 0;
  };
  auto alive = std::make_shared<Counter>();
  auto gone = std::make_shared<Counter>();
  std::weak_ptr<Counter> goneWatch = gone;
  std::promise<void> gate;
  auto opened = gate.get_future().share();
  queue->async([opened] { opened.wait(); });
  queue->async(weakly(alive, [](Counter& c) { ++c.calls; }));
  queue->async(weakly(gone, [](Counter& c) { ++c.calls; }));
  gone.reset();
  // The queued closure must not have kept the object alive.
  EXPECT_TRUE(goneWatch.expired());
  gate.set_value();
  queue->sync([] {});
  EXPECT_EQ(alive->calls, 1);
}

TEST(GlobalQueue, RunsWorkConcurrently) {
  // Two tasks that each wait for the other can only finish on a concurrent queue.
  std::latch both(2);
  std::promise<void> a, b;
  globalQueue()->async([&] { both.arrive_and_wait(); a.set_value(); });
  globalQueue(QoS::Default)->async([&] { both.arrive_and_wait(); b.set_value(); });
  EXPECT_EQ(a.get_future().wait_for(5s), std::future_status::ready);
  EXPECT_EQ(b.get_future().wait_for(5s), std::future_status::ready);
  EXPECT_NE(globalQueue(QoS::Background).get(), globalQueue(QoS::UserInitiated).get());
}

TEST(MainQueue, RunsOnTheMainThreadWhenItsLoopRuns) {
  ASSERT_TRUE(RunLoop::isMainThread());
  std::atomic<bool> ranOnMain{false};
  std::atomic<bool> ran{false};
  std::thread([&] {
    mainQueue()->async([&] {
      ranOnMain = RunLoop::isMainThread() && mainQueue()->isCurrent();
      ran = true;
    });
  }).join();
  EXPECT_FALSE(ran.load());  // nothing runs until the main loop serves
  EXPECT_TRUE(RunLoop::main()->runUntil([&] { return ran.load(); }, 5s));
  EXPECT_TRUE(ranOnMain.load());
}

TEST(MainQueue, FollowsABoundEventLoop) {
  std::vector<Work> posted;
  bindMainQueue([&](Work w) { posted.push_back(std::move(w)); });
  bool ran = false;
  mainQueue()->async([&] { ran = true; });
  bindMainQueue(nullptr);
  ASSERT_EQ(posted.size(), 1u);
  EXPECT_FALSE(ran);
  posted.front()();
  EXPECT_TRUE(ran);
}

}  // namespace
}  // namespace platform::dispatch
