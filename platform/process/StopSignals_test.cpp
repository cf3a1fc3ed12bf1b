#include "process/StopSignals.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "Wait.h"

namespace platform::process {
namespace {

using namespace std::chrono_literals;
using pellora::testing::waitUntil;

// What a StopSignals handed over, and whether it ran on the queue it was given.
struct Seen {
  std::mutex mutex;
  std::vector<int> signals;
  std::atomic<bool> offQueue{false};

  StopSignals::Handler on(const std::shared_ptr<dispatch::Queue>& queue) {
    return [this, queue](int signal) {
      if (!queue->isCurrent()) offQueue = true;
      std::lock_guard lock(mutex);
      signals.push_back(signal);
    };
  }
  std::vector<int> get() {
    std::lock_guard lock(mutex);
    return signals;
  }
};

// Sets a disposition for the test and puts the one before it back.
class Disposition {
 public:
  Disposition(int signal, void (*handler)(int)) : signal_(signal) {
    struct sigaction sa {};
    sa.sa_handler = handler;
    sigemptyset(&sa.sa_mask);
    ::sigaction(signal, &sa, &saved_);
  }
  ~Disposition() { ::sigaction(signal_, &saved_, nullptr); }
  static void (*current(int signal))(int) {
    struct sigaction sa {};
    ::sigaction(signal, nullptr, &sa);
    return sa.sa_handler;
  }

 private:
  int signal_;
  struct sigaction saved_ {};
};

std::atomic<int> gOwnHandlerCalls{0};
void ownHandler(int) { ++gOwnHandlerCalls; }

TEST(StopSignals, HandsEachSignalToTheHandlerOnItsQueue) {
  auto queue = dispatch::makeSerialQueue("test.stop-signals");
  Seen seen;
  StopSignals stop(queue, seen.on(queue));
  ::raise(SIGTERM);  // the process goes on
  ASSERT_TRUE(waitUntil([&] { return seen.get() == std::vector<int>{SIGTERM}; }, 5s));
  ::raise(SIGINT);
  ASSERT_TRUE(waitUntil([&] { return seen.get() == std::vector<int>{SIGTERM, SIGINT}; }, 5s));
  // Signals from another thread arrive the same way.
  std::thread([] { ::raise(SIGTERM); }).join();
  ASSERT_TRUE(waitUntil([&] { return seen.get().size() == 3; }, 5s));
  EXPECT_EQ(seen.get().back(), SIGTERM);
  EXPECT_FALSE(seen.offQueue);
}

TEST(StopSignals, PreviousDispositionsComeBackAndNewerObjectsTakeOver) {
  Disposition ignoreTerm(SIGTERM, SIG_IGN);
  Disposition ownInt(SIGINT, ownHandler);
  auto queue = dispatch::makeSerialQueue("test.stop-signals-nested");
  Seen outerSeen, innerSeen;
  {
    StopSignals outer(queue, outerSeen.on(queue));
    {
      StopSignals inner(queue, innerSeen.on(queue));
      ::raise(SIGINT);
      ASSERT_TRUE(waitUntil([&] { return innerSeen.get() == std::vector<int>{SIGINT}; }, 5s));
    }
    ::raise(SIGTERM);
    ASSERT_TRUE(waitUntil([&] { return outerSeen.get() == std::vector<int>{SIGTERM}; }, 5s));
    queue->sync([] {});
    EXPECT_EQ(innerSeen.get().size(), 1u);
  }
  EXPECT_EQ(Disposition::current(SIGTERM), SIG_IGN);
  EXPECT_EQ(Disposition::current(SIGINT), &ownHandler);
  EXPECT_EQ(gOwnHandlerCalls.load(), 0);
  ::raise(SIGINT);
  EXPECT_EQ(gOwnHandlerCalls.load(), 1);
  queue->sync([] {});
  EXPECT_EQ(outerSeen.get().size(), 1u);
}

TEST(StopSignals, StopsARunLoop) {
  auto loop = std::make_shared<dispatch::RunLoop>();
  StopSignals stop(loop);
  std::promise<void> running;
  auto ended = std::async(std::launch::async, [&] {
    loop->perform([&] { running.set_value(); });
    loop->run();
  });
  running.get_future().wait();
  ::raise(SIGINT);
  const bool stopped = ended.wait_for(5s) == std::future_status::ready;
  if (!stopped) loop->stop();  // lets the test end and report
  EXPECT_TRUE(stopped);
}

}  // namespace
}  // namespace platform::process
