#include "dispatch/Manager.h"

#include <thread>

namespace platform::dispatch {

RunLoop& managerLoop() {
  // Process-lifetime infrastructure, like the platform's own dispatch threads: never torn
  // down, so that work posted during static destruction still finds it.
  static RunLoop* loop = [] {
    auto* l = new RunLoop();
    std::thread([l] { l->run(); }).detach();
    return l;
  }();
  return *loop;
}

}  // namespace platform::dispatch
