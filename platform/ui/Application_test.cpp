#include "ui/Application.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "dispatch/Queue.h"
#include "dispatch/RunLoop.h"

namespace platform::ui {
namespace {

using namespace std::chrono_literals;

TEST(UiApplication, MainQueueRunsOnQtsEventLoop) {
  int argc = 1;
  char name[] = "ui_test";
  char* argv[] = {name, nullptr};
  Application app(argc, argv);
  EXPECT_TRUE(Application::isOffscreen());  // tests never have a display
  bool ran = false, onMain = false, delayed = false;
  std::thread([&] {
    dispatch::mainQueue()->async([&] {
      ran = true;
      onMain = dispatch::RunLoop::isMainThread();
    });
  }).join();
  dispatch::mainQueue()->asyncAfter(50ms, [&] { delayed = true; });
  EXPECT_TRUE(runUntil([&] { return ran && delayed; }, 5s));
  EXPECT_TRUE(onMain);

  // What the work holds goes with it on the main thread, and work keeps its order: the
  // posting thread never holds the last reference.
  struct Witness {
    explicit Witness(std::atomic<int>* counter) : offMain(counter) {}
    std::atomic<int>* offMain;
    ~Witness() {
      if (!dispatch::RunLoop::isMainThread()) ++*offMain;
    }
  };
  std::atomic<int> offMain{0};
  std::vector<int> order;
  constexpr int kPosts = 2000;
  std::thread poster([&] {
    for (int i = 0; i < kPosts; ++i) {
      auto witness = std::make_shared<Witness>(&offMain);
      dispatch::mainQueue()->async(
          [&order, i, witness = std::move(witness)] { order.push_back(i); });
    }
  });
  EXPECT_TRUE(runUntil([&] { return order.size() == kPosts; }, 10s));
  poster.join();
  EXPECT_EQ(offMain.load(), 0);
  for (int i = 0; i < static_cast<int>(order.size()); ++i) ASSERT_EQ(order[i], i);
}

}  // namespace
}  // namespace platform::ui
