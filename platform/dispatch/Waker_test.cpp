#include "dispatch/Waker.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "Wait.h"
#include "dispatch/RunLoop.h"

namespace platform::dispatch {
namespace {

using namespace std::chrono_literals;

bool readable(const Waker& waker, int timeoutMs) {
  pollfd pfd{waker.fd(), POLLIN, 0};
  return ::poll(&pfd, 1, timeoutMs) == 1 && (pfd.revents & POLLIN);
}

TEST(Waker, WakesAPollerAndStaysPendingUntilDrained) {
  auto waker = Waker::create();
  ASSERT_TRUE(waker);
  EXPECT_FALSE(readable(*waker, 0));
  std::thread([&] {
    for (int i = 0; i < 3; ++i) waker->wake();
  }).join();
  EXPECT_TRUE(readable(*waker, 5000));
  EXPECT_TRUE(readable(*waker, 0));  // polling alone does not consume the wake
  waker->drain();                    // one drain takes all three
  EXPECT_FALSE(readable(*waker, 0));
  waker->drain();  // draining nothing neither blocks nor fails
  EXPECT_FALSE(readable(*waker, 0));
}

const Waker* gSignalWaker = nullptr;

TEST(Waker, MayBeWokenFromASignalHandler) {
  auto waker = Waker::create();
  ASSERT_TRUE(waker);
  gSignalWaker = waker.get();
  struct sigaction sa {}, saved {};
  sa.sa_handler = [](int) { gSignalWaker->wake(); };
  sigemptyset(&sa.sa_mask);
  ASSERT_EQ(::sigaction(SIGUSR1, &sa, &saved), 0);
  ::raise(SIGUSR1);
  ::sigaction(SIGUSR1, &saved, nullptr);
  EXPECT_TRUE(readable(*waker, 5000));
}

// Uses up the descriptor table of this (death-test child) process; returns what it opened.
std::vector<int> exhaustDescriptors() {
  const rlimit low{64, 64};
  if (::setrlimit(RLIMIT_NOFILE, &low) != 0) std::_Exit(3);
  std::vector<int> opened;
  opened.reserve(64);
  for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) opened.push_back(fd);
  return opened;
}

TEST(WakerDeathTest, CreateIsNullWhenNoDescriptorIsLeft) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        exhaustDescriptors();
        std::_Exit(Waker::create() == nullptr ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

// True once the thread whose /proc stat file is open as statFd waits in the kernel (here: the
// run loop's poll). The file is opened before the descriptors run out.
bool sleeps(int statFd) {
  char buffer[512];
  const ssize_t n = ::pread(statFd, buffer, sizeof buffer - 1, 0);
  if (n <= 0) return false;
  const std::string_view stat(buffer, static_cast<size_t>(n));
  const size_t afterName = stat.rfind(") ");
  return afterName != std::string_view::npos && afterName + 2 < stat.size() &&
         stat[afterName + 2] == 'S';
}

TEST(WakerDeathTest, ARunLoopWithoutAWakerStillServesPostedWorkAndStops) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        ::alarm(20);  // a loop that is never woken ends the child by SIGALRM
        const std::string mainStat = "/proc/self/task/" + std::to_string(::getpid()) + "/stat";
        const int statFd = ::open(mainStat.c_str(), O_RDONLY | O_CLOEXEC);
        auto opened = exhaustDescriptors();
        if (Waker::create()) std::_Exit(2);
        // Made before the first object with a vtable: the sanitizers' check of such objects
        // needs a descriptor or two, given back before it comes. The loop stays without a waker.
        RunLoop loop;
        for (int i = 0; i < 4 && !opened.empty(); ++i, opened.pop_back()) ::close(opened.back());
        bool ran = false;
        std::thread([&] { loop.perform([&] { ran = true; }); }).join();
        if (!loop.runUntil([&] { return ran; }, 5s)) std::_Exit(1);
        // A stop that comes while run() waits in poll ends it.
        std::thread stopper([&] {
          pellora::testing::waitUntil([&] { return sleeps(statFd); }, 5s);
          loop.stop();
        });
        loop.run();
        stopper.join();
        std::_Exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace platform::dispatch
