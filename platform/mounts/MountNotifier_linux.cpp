#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <set>
#include <system_error>
#include <vector>

#include "dispatch/Queue.h"
#include "dispatch/Waker.h"
#include "mounts/MountNotifier.h"
#include "mounts/Mounts.h"

namespace platform::mounts {

struct MountNotifier::Subscriptions {
  struct Entry {
    Event event;
    std::shared_ptr<Handler> handler;
  };
  std::mutex mutex;
  std::map<uint64_t, Entry> entries;
  uint64_t nextToken = 1;
};

namespace {

using Subscriptions = MountNotifier::Subscriptions;
using MountPoints = std::set<std::string>;

// Reads the table through the watched descriptor: reading it is what the kernel compares
// later changes against.
std::optional<MountPoints> readMountPoints(int fd) {
  if (::lseek(fd, 0, SEEK_SET) < 0) return std::nullopt;
  std::string text;
  std::array<char, 16384> buf;
  for (;;) {
    const ssize_t n = ::read(fd, buf.data(), buf.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    if (n == 0) break;
    text.append(buf.data(), static_cast<size_t>(n));
  }
  MountPoints points;
  for (auto& mount : parseMountInfo(text)) points.insert(std::move(mount.mountPoint));
  return points;
}

// Runs on the main queue: calls the handlers of event that subscribed before the change was
// seen (tokens below limit) and are still subscribed now.
void deliver(const std::shared_ptr<Subscriptions>& subs, MountNotifier::Event event,
             const std::string& mountPoint, uint64_t limit) {
  std::vector<std::pair<uint64_t, std::shared_ptr<MountNotifier::Handler>>> handlers;
  {
    std::lock_guard lock(subs->mutex);
    for (const auto& [token, entry] : subs->entries) {
      if (token < limit && entry.event == event) handlers.emplace_back(token, entry.handler);
    }
  }
  const MountNotifier::UserInfo userInfo{{"NSDevicePath", mountPoint}};
  for (const auto& [token, handler] : handlers) {
    // A handler may unsubscribe a later one, which then must not run.
    bool stillSubscribed;
    {
      std::lock_guard lock(subs->mutex);
      stillSubscribed = subs->entries.count(token) != 0;
    }
    if (stillSubscribed) (*handler)(userInfo);
  }
}

void post(const std::shared_ptr<Subscriptions>& subs, MountNotifier::Event event,
          std::string mountPoint) {
  uint64_t limit;
  {
    std::lock_guard lock(subs->mutex);
    limit = subs->nextToken;
  }
  dispatch::mainQueue()->async([subs, event, mountPoint = std::move(mountPoint), limit] {
    deliver(subs, event, mountPoint, limit);
  });
}

void watch(int tableFd, const dispatch::Waker* waker, MountPoints known,
           std::shared_ptr<Subscriptions> subs) {
  for (;;) {
    std::array<pollfd, 2> fds{pollfd{tableFd, POLLPRI, 0}, pollfd{waker->fd(), POLLIN, 0}};
    const int n = ::poll(fds.data(), fds.size(), -1);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 || (fds[1].revents & POLLIN)) return;
    if (fds[0].revents & POLLNVAL) return;
    if (!(fds[0].revents & (POLLPRI | POLLERR))) continue;
    auto now = readMountPoints(tableFd);
    if (!now) continue;
    for (const auto& point : known) {
      if (!now->count(point)) post(subs, MountNotifier::Event::DidUnmount, point);
    }
    for (const auto& point : *now) {
      if (!known.count(point)) post(subs, MountNotifier::Event::DidMount, point);
    }
    known = std::move(*now);
  }
}

}  // namespace

MountNotifier& MountNotifier::shared() {
  static MountNotifier notifier;
  return notifier;
}

MountNotifier::MountNotifier(std::string mountInfoPath)
    : mountInfoPath_(std::move(mountInfoPath)), subscriptions_(std::make_shared<Subscriptions>()) {}

MountNotifier::~MountNotifier() { shutdown(); }

uint64_t MountNotifier::subscribe(Event event, Handler handler) {
  std::lock_guard lifecycle(lifecycleMutex_);
  if (!watcher_.joinable()) {
    // The snapshot is read from the descriptor the watcher polls, so no change after it is
    // missed.
    const int tableFd = ::open(mountInfoPath_.c_str(), O_RDONLY | O_CLOEXEC);
    if (tableFd < 0) return 0;
    auto known = readMountPoints(tableFd);
    auto waker = dispatch::Waker::create();
    if (!known || !waker) {
      ::close(tableFd);
      return 0;
    }
    try {
      watcher_ = std::thread(watch, tableFd, waker.get(), std::move(*known), subscriptions_);
    } catch (const std::system_error&) {
      ::close(tableFd);
      return 0;
    }
    tableFd_ = tableFd;
    waker_ = std::move(waker);
  }
  std::lock_guard lock(subscriptions_->mutex);
  const uint64_t token = subscriptions_->nextToken++;
  subscriptions_->entries[token] = {event, std::make_shared<Handler>(std::move(handler))};
  return token;
}

void MountNotifier::unsubscribe(uint64_t token) {
  std::lock_guard lifecycle(lifecycleMutex_);
  bool empty;
  {
    std::lock_guard lock(subscriptions_->mutex);
    subscriptions_->entries.erase(token);
    empty = subscriptions_->entries.empty();
  }
  if (empty) stopWatcher();
}

void MountNotifier::shutdown() {
  std::lock_guard lifecycle(lifecycleMutex_);
  {
    std::lock_guard lock(subscriptions_->mutex);
    subscriptions_->entries.clear();
  }
  stopWatcher();
}

bool MountNotifier::isWatching() const {
  std::lock_guard lifecycle(lifecycleMutex_);
  return watcher_.joinable();
}

void MountNotifier::stopWatcher() {
  if (!watcher_.joinable()) return;
  waker_->wake();
  watcher_.join();
  waker_.reset();
  ::close(tableFd_);
  tableFd_ = -1;
}

}  // namespace platform::mounts
