// Mount and unmount notifications of the workspace. A watcher thread polls the mount table
// (/proc/self/mountinfo reports POLLPRI|POLLERR when it changes), compares the set of mount
// points with the last one seen, and posts each change to the main queue, where the handlers
// of that event run with userInfo {"NSDevicePath": mount point}.
//
// The watcher runs while there is at least one subscription: it starts with the first one and
// is stopped (woken and joined) when the last one goes or at shutdown(). A handler gets only
// changes seen after it subscribed, and none once unsubscribe() has returned on the main
// thread (an unsubscribe from another thread may race a handler that is already running).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace platform::dispatch {
class Waker;
}

namespace platform::mounts {

class MountNotifier {
 public:
  enum class Event { DidMount, DidUnmount };
  using UserInfo = std::map<std::string, std::string>;
  using Handler = std::function<void(const UserInfo& userInfo)>;

  // The process-wide notifier.
  static MountNotifier& shared();

  // A notifier of one's own (tests); mountInfoPath may name another process's table
  // (/proc/PID/mountinfo).
  explicit MountNotifier(std::string mountInfoPath = "/proc/self/mountinfo");
  ~MountNotifier();
  MountNotifier(const MountNotifier&) = delete;
  MountNotifier& operator=(const MountNotifier&) = delete;

  // Thread-safe. Returns a token for unsubscribe(), never 0. Returns 0 (and subscribes
  // nothing) when the mount table cannot be watched or the watcher thread cannot start.
  uint64_t subscribe(Event event, Handler handler);
  // Thread-safe; unknown tokens are ignored.
  void unsubscribe(uint64_t token);
  // Drops every subscription and stops the watcher. A later subscribe() starts it again.
  void shutdown();

  // True while the watcher thread runs (for tests).
  bool isWatching() const;

  struct Subscriptions;

 private:
  void stopWatcher();

  const std::string mountInfoPath_;
  // Shared with deliveries posted to the main queue, which may run after this object is gone.
  std::shared_ptr<Subscriptions> subscriptions_;
  // Serialises starting and stopping the watcher; never taken by the watcher or deliveries.
  mutable std::mutex lifecycleMutex_;
  std::thread watcher_;
  std::unique_ptr<dispatch::Waker> waker_;
  int tableFd_ = -1;
};

}  // namespace platform::mounts
