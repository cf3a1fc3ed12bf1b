#include "mounts/MountNotifier.h"

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <mutex>
#include <vector>

#include "TempDir.h"
#include "Wait.h"
#include "dispatch/Queue.h"
#include "dispatch/RunLoop.h"

namespace platform::mounts {
namespace {

using namespace std::chrono_literals;
using pellora::testing::TempDir;
using Event = MountNotifier::Event;

// A tmpfs mounted for one test; lazily unmounted however the test ends.
class TmpfsMount {
 public:
  explicit TmpfsMount(std::string point) : point_(std::move(point)) {}
  ~TmpfsMount() { unmount(); }
  // 0 or the errno of mount(2).
  int mount() {
    if (::mount("pellora-test", point_.c_str(), "tmpfs", 0, "size=64k") != 0) return errno;
    mounted_ = true;
    return 0;
  }
  void unmount() {
    if (mounted_) ::umount2(point_.c_str(), MNT_DETACH);
    mounted_ = false;
  }

 private:
  std::string point_;
  bool mounted_ = false;
};

// Records the mount points a handler was called with; lives on the main thread.
struct Seen {
  std::vector<std::string> points;
  bool has(const std::string& point) const {
    return std::find(points.begin(), points.end(), point) != points.end();
  }
};

MountNotifier::Handler recordInto(Seen& seen) {
  return [&seen](const MountNotifier::UserInfo& info) {
    const auto it = info.find("NSDevicePath");
    seen.points.push_back(it == info.end() ? "<none>" : it->second);
  };
}

bool canMount() { return ::geteuid() == 0; }

// Serves the main queue from the test thread until pred holds.
bool serveMainUntil(const std::function<bool()>& pred) {
  return dispatch::RunLoop::main()->runUntil(pred, 10s);
}

TEST(MountNotifier, WatcherRunsWhileSomeoneSubscribes) {
  MountNotifier notifier;
  EXPECT_FALSE(notifier.isWatching());
  const auto a = notifier.subscribe(Event::DidMount, [](const auto&) {});
  const auto b = notifier.subscribe(Event::DidUnmount, [](const auto&) {});
  EXPECT_NE(a, 0u);
  EXPECT_NE(b, 0u);
  EXPECT_NE(a, b);
  EXPECT_TRUE(notifier.isWatching());
  notifier.unsubscribe(a);
  EXPECT_TRUE(notifier.isWatching());
  notifier.unsubscribe(12345);  // unknown tokens change nothing
  EXPECT_TRUE(notifier.isWatching());
  notifier.unsubscribe(b);
  EXPECT_FALSE(notifier.isWatching());
  notifier.subscribe(Event::DidMount, [](const auto&) {});
  EXPECT_TRUE(notifier.isWatching());
  notifier.shutdown();
  EXPECT_FALSE(notifier.isWatching());
}

TEST(MountNotifier, AnUnreadableTableSubscribesNothing) {
  TempDir dir;
  MountNotifier notifier(dir / "missing");
  EXPECT_EQ(notifier.subscribe(Event::DidMount, [](const auto&) {}), 0u);
  EXPECT_FALSE(notifier.isWatching());
}

// The size of this process's address space, in bytes.
rlim_t addressSpace() {
  std::ifstream statm("/proc/self/statm");
  rlim_t pages = 0;
  statm >> pages;
  return pages * static_cast<rlim_t>(::sysconf(_SC_PAGESIZE));
}

// 0 when a subscription made while no thread can start fails cleanly and a later one works.
int subscribeWithoutRoomForAThread() {
  MountNotifier notifier;
  rlimit saved{};
  if (::getrlimit(RLIMIT_AS, &saved) != 0) return 3;
  // No room for another thread's stack.
  const rlimit tight{addressSpace() + (1 << 20), saved.rlim_max};
  if (::setrlimit(RLIMIT_AS, &tight) != 0) return 3;
  const auto token = notifier.subscribe(Event::DidMount, [](const auto&) {});
  const bool idle = !notifier.isWatching();
  if (::setrlimit(RLIMIT_AS, &saved) != 0) return 3;
  if (token != 0 || !idle) return 1;
  // Once threads can start again, so can the watcher.
  const bool later =
      notifier.subscribe(Event::DidMount, [](const auto&) {}) != 0 && notifier.isWatching();
  notifier.shutdown();
  return later ? 0 : 2;
}

TEST(MountNotifierDeathTest, AWatcherThreadThatCannotStartSubscribesNothing) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "sanitizers need more address space than the limit leaves";
#endif
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(std::_Exit(subscribeWithoutRoomForAThread()), ::testing::ExitedWithCode(0), "");
}

TEST(MountNotifier, ReportsMountAndUnmountOnTheMainQueue) {
  if (!canMount()) GTEST_SKIP() << "mounting a tmpfs needs root";
  TempDir dir;
  const std::string point = dir.mkdir("volume");
  TmpfsMount tmpfs(point);
  MountNotifier notifier;
  Seen mounted, unmounted;
  bool onMainThread = true;
  notifier.subscribe(Event::DidMount, [&](const MountNotifier::UserInfo& info) {
    onMainThread = onMainThread && dispatch::RunLoop::isMainThread();
    recordInto(mounted)(info);
  });
  notifier.subscribe(Event::DidUnmount, recordInto(unmounted));

  const int rc = tmpfs.mount();
  if (rc == EPERM) GTEST_SKIP() << "this container may not mount";
  ASSERT_EQ(rc, 0) << std::strerror(rc);
  EXPECT_TRUE(serveMainUntil([&] { return mounted.has(point); }));
  EXPECT_FALSE(unmounted.has(point));

  tmpfs.unmount();
  EXPECT_TRUE(serveMainUntil([&] { return unmounted.has(point); }));
  EXPECT_TRUE(onMainThread);
  EXPECT_EQ(std::count(mounted.points.begin(), mounted.points.end(), point), 1);
  EXPECT_EQ(std::count(unmounted.points.begin(), unmounted.points.end(), point), 1);
  notifier.shutdown();
}

// Holds main-queue work instead of running it, so a test can act between post and delivery.
class HeldMainQueue {
 public:
  HeldMainQueue() {
    dispatch::bindMainQueue([this](dispatch::Work work) {
      std::lock_guard lock(mutex_);
      held_.push_back(std::move(work));
    });
  }
  ~HeldMainQueue() { dispatch::bindMainQueue(nullptr); }
  size_t size() {
    std::lock_guard lock(mutex_);
    return held_.size();
  }
  void runAll() {
    std::vector<dispatch::Work> work;
    {
      std::lock_guard lock(mutex_);
      work.swap(held_);
    }
    for (auto& w : work) w();
  }

 private:
  std::mutex mutex_;
  std::vector<dispatch::Work> held_;
};

TEST(MountNotifier, HandlersGoneOrNewAtDeliveryAreNotCalled) {
  if (!canMount()) GTEST_SKIP() << "mounting a tmpfs needs root";
  TempDir dir;
  const std::string point = dir.mkdir("volume");
  TmpfsMount tmpfs(point);
  MountNotifier notifier;
  HeldMainQueue held;
  Seen kept, dropped, late;
  notifier.subscribe(Event::DidMount, recordInto(kept));
  const auto droppedToken = notifier.subscribe(Event::DidMount, recordInto(dropped));

  const int rc = tmpfs.mount();
  if (rc == EPERM) GTEST_SKIP() << "this container may not mount";
  ASSERT_EQ(rc, 0) << std::strerror(rc);
  ASSERT_TRUE(pellora::testing::waitUntil([&] { return held.size() >= 1; }));
  notifier.unsubscribe(droppedToken);
  notifier.subscribe(Event::DidMount, recordInto(late));
  held.runAll();

  EXPECT_TRUE(kept.has(point));
  EXPECT_TRUE(dropped.points.empty());
  EXPECT_TRUE(late.points.empty());
  notifier.shutdown();
}

TEST(MountNotifier, SharedIsOneNotifier) {
  EXPECT_EQ(&MountNotifier::shared(), &MountNotifier::shared());
}

}  // namespace
}  // namespace platform::mounts
