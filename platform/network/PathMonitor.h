// The network path monitor: whether the machine has a usable network path, over which
// interfaces, and an update handler told on a given queue each time that changes. Changes are
// learned from the kernel's routing socket (links and addresses coming and going); the
// interfaces are read with getifaddrs. An interface is usable when it is up, running (has a
// carrier) and not loopback, and has an IPv4 address or an IPv6 address that is not link-local.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "dispatch/Queue.h"

namespace platform::network {

enum class PathStatus { satisfied, unsatisfied };

struct Path {
  PathStatus status = PathStatus::unsatisfied;
  // The names of the usable interfaces, sorted.
  std::vector<std::string> availableInterfaces;

  // "satisfied" or "unsatisfied".
  std::string_view statusText() const;
  bool operator==(const Path& other) const = default;
};

// The path as the interfaces are now.
Path currentPath();

class PathMonitor {
 public:
  using UpdateHandler = std::function<void(const Path& path)>;

  // Null when the system refuses a routing socket.
  [[nodiscard]] static std::unique_ptr<PathMonitor> create();
  // Cancels: no handler starts afterwards (one that runs may finish).
  ~PathMonitor();
  PathMonitor(const PathMonitor&) = delete;
  PathMonitor& operator=(const PathMonitor&) = delete;

  // Set before start().
  void setUpdateHandler(UpdateHandler handler);
  // The handler gets the current path soon on queue, then each path that differs from the one
  // it got last. Starts once; a monitor that was cancelled stays so.
  void start(std::shared_ptr<dispatch::Queue> queue);
  void cancel();

  struct State;

 private:
  explicit PathMonitor(std::shared_ptr<State> state) : state_(std::move(state)) {}

  std::shared_ptr<State> state_;
};

}  // namespace platform::network
