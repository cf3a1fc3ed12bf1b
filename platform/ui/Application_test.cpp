#include "ui/Application.h"

#include <gtest/gtest.h>

#include <thread>

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
}

}  // namespace
}  // namespace platform::ui
