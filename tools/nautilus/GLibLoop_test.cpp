// The host loop on a GLib main context of the test's own, iterated by the test.
#include "GLibLoop.h"

#include <glib.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <thread>
#include <vector>

namespace pellora::host {
namespace {

using namespace std::chrono_literals;
using Clock = HostLoop::Clock;

class GLibLoopTest : public ::testing::Test {
 protected:
  void SetUp() override {
    context_ = g_main_context_new();
    g_main_context_push_thread_default(context_);
    loop_ = std::make_unique<GLibLoop>(context_);
  }
  void TearDown() override {
    loop_.reset();
    g_main_context_pop_thread_default(context_);
    g_main_context_unref(context_);
  }
  // Iterates the context until done() holds or the timeout passes.
  bool iterateUntil(const std::function<bool()>& done, Clock::duration timeout = 5s) {
    const auto deadline = Clock::now() + timeout;
    while (!done()) {
      if (Clock::now() >= deadline) return done();
      g_main_context_iteration(context_, FALSE);
      std::this_thread::sleep_for(1ms);
    }
    return true;
  }

  GMainContext* context_ = nullptr;
  std::unique_ptr<GLibLoop> loop_;
};

TEST_F(GLibLoopTest, WorkPostedFromOtherThreadsRunsOnTheLoopThreadInOrder) {
  std::vector<int> seen[2];
  bool offThread = false;
  std::vector<std::thread> posters;
  for (int t = 0; t < 2; ++t) {
    posters.emplace_back([&, t, post = loop_->poster()] {
      for (int i = 0; i < 200; ++i) {
        post([&, t, i] {
          offThread = offThread || !loop_->isLoopThread();
          seen[t].push_back(i);
        });
      }
    });
  }
  for (auto& p : posters) p.join();
  ASSERT_TRUE(iterateUntil([&] { return seen[0].size() == 200 && seen[1].size() == 200; }));
  EXPECT_FALSE(offThread);
  for (const auto& s : seen) {
    for (int i = 0; i < 200; ++i) EXPECT_EQ(s[i], i);
  }
  // A poster kept past the loop's end drops its work.
  auto post = loop_->poster();
  loop_.reset();
  bool ran = false;
  post([&] { ran = true; });
  g_main_context_iteration(context_, FALSE);
  EXPECT_FALSE(ran);
}

TEST_F(GLibLoopTest, TimersFireOnceOrOnTheirIntervalAndMayRemoveThemselves) {
  int once = 0, repeated = 0, removed = 0;
  const auto start = Clock::now();
  Clock::time_point firstRepeat{}, secondRepeat{};
  loop_->addTimer(10ms, Clock::duration::zero(), [&] { ++once; });
  HostLoop::TimerId repeating = 0;
  repeating = loop_->addTimer(5ms, 500ms, [&] {
    if (++repeated == 1) firstRepeat = Clock::now();
    if (repeated == 2) {
      secondRepeat = Clock::now();
      loop_->removeTimer(repeating);
    }
  });
  const auto never = loop_->addTimer(20ms, Clock::duration::zero(), [&] { ++removed; });
  loop_->removeTimer(never);
  ASSERT_TRUE(iterateUntil([&] { return repeated == 2; }));
  // Long enough for a third firing, had the removal not held.
  iterateUntil([] { return false; }, 600ms);
  EXPECT_EQ(once, 1);
  EXPECT_EQ(repeated, 2);
  EXPECT_EQ(removed, 0);
  // The first delay, then the interval.
  EXPECT_LT(firstRepeat - start, 500ms);
  EXPECT_GE(secondRepeat - firstRepeat, 495ms);
}

TEST_F(GLibLoopTest, WatchesReportReadableDescriptorsUntilRemoved) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  short got = 0;
  int calls = 0;
  const auto watch = loop_->addWatch(fds[0], POLLIN, [&](short revents) {
    got = revents;
    ++calls;
    char c;
    [[maybe_unused]] auto n = ::read(fds[0], &c, 1);
  });
  ASSERT_EQ(::write(fds[1], "x", 1), 1);
  ASSERT_TRUE(iterateUntil([&] { return calls == 1; }));
  EXPECT_TRUE(got & POLLIN);
  loop_->removeWatch(watch);
  ASSERT_EQ(::write(fds[1], "y", 1), 1);
  EXPECT_FALSE(iterateUntil([&] { return calls > 1; }, 100ms));
  ::close(fds[0]);
  ::close(fds[1]);
}

// A synchronous caller waits for posted work only: other sources of the context stay put.
TEST_F(GLibLoopTest, ServingPostedWorkRunsNothingElse) {
  bool timerFired = false, answered = false;
  loop_->addTimer(1ms, Clock::duration::zero(), [&] { timerFired = true; });
  std::thread answer([post = loop_->poster(), &answered] {
    std::this_thread::sleep_for(20ms);
    post([&answered] { answered = true; });
  });
  EXPECT_TRUE(loop_->servePostedUntil([&] { return answered; }, 5s));
  answer.join();
  EXPECT_FALSE(timerFired);
  EXPECT_FALSE(loop_->servePostedUntil([] { return false; }, 30ms));
  EXPECT_FALSE(timerFired);
  EXPECT_TRUE(iterateUntil([&] { return timerFired; }));
}

}  // namespace
}  // namespace pellora::host
