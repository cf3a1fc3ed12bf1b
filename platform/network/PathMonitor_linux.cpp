#include <ifaddrs.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <mutex>
#include <optional>
#include <set>

#include "dispatch/FdSource.h"
#include "network/PathMonitor.h"

namespace platform::network {

std::string_view Path::statusText() const {
  return status == PathStatus::satisfied ? "satisfied" : "unsatisfied";
}

Path currentPath() {
  Path path;
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return path;
  std::set<std::string> names;
  for (const ifaddrs* ifa = list; ifa; ifa = ifa->ifa_next) {
    if (!ifa->ifa_addr || !ifa->ifa_name) continue;
    const unsigned flags = ifa->ifa_flags;
    if (!(flags & IFF_UP) || !(flags & IFF_RUNNING) || (flags & IFF_LOOPBACK)) continue;
    const int family = ifa->ifa_addr->sa_family;
    if (family == AF_INET) {
      names.insert(ifa->ifa_name);
    } else if (family == AF_INET6) {
      const auto* in6 = reinterpret_cast<const sockaddr_in6*>(ifa->ifa_addr);
      // A link-local address reaches no gateway beyond the link's own neighbours by name.
      if (!IN6_IS_ADDR_LINKLOCAL(&in6->sin6_addr)) names.insert(ifa->ifa_name);
    }
  }
  ::freeifaddrs(list);
  path.availableInterfaces.assign(names.begin(), names.end());
  path.status = names.empty() ? PathStatus::unsatisfied : PathStatus::satisfied;
  return path;
}

struct PathMonitor::State {
  int fd = -1;
  std::atomic<bool> cancelled{false};
  std::mutex mutex;  // serialises deliveries: the queue may be concurrent
  UpdateHandler handler;
  std::optional<Path> last;
  std::unique_ptr<dispatch::FdSource> source;
  std::shared_ptr<dispatch::Queue> queue;

  ~State() {
    // The manager must stop watching the socket before it is closed.
    if (source) source->cancel();
    if (fd >= 0) ::close(fd);
  }

  // Takes every message waiting on the routing socket; their content does not matter, only that
  // links or addresses changed. An overflow (ENOBUFS) means changes were lost: the same.
  void drain() const {
    char buffer[16384];
    for (;;) {
      const ssize_t got = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
      if (got < 0 && (errno == EINTR || errno == ENOBUFS)) continue;
      if (got <= 0) return;
    }
  }

  void deliver() {
    std::lock_guard lock(mutex);
    if (cancelled) return;
    Path path = currentPath();
    if (last && *last == path) return;
    last = path;
    if (handler) handler(path);
  }
};

std::unique_ptr<PathMonitor> PathMonitor::create() {
  const int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, NETLINK_ROUTE);
  if (fd < 0) return nullptr;
  sockaddr_nl addr{};
  addr.nl_family = AF_NETLINK;
  addr.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return nullptr;
  }
  auto state = std::make_shared<State>();
  state->fd = fd;
  return std::unique_ptr<PathMonitor>(new PathMonitor(std::move(state)));
}

PathMonitor::~PathMonitor() { cancel(); }

void PathMonitor::setUpdateHandler(UpdateHandler handler) {
  std::lock_guard lock(state_->mutex);
  state_->handler = std::move(handler);
}

void PathMonitor::start(std::shared_ptr<dispatch::Queue> queue) {
  if (state_->cancelled || state_->source) return;
  state_->queue = queue;
  // The source is the state's own: its handler holds the state weakly, and the socket stays
  // open while a handler that got hold of it runs.
  std::weak_ptr<State> weak = state_;
  state_->source = std::make_unique<dispatch::FdSource>(
      state_->fd, dispatch::FdSource::Kind::Read, queue, [weak] {
        if (const auto state = weak.lock()) {
          state->drain();
          state->deliver();
        }
      });
  state_->source->resume();
  queue->async([state = state_] { state->deliver(); });
}

void PathMonitor::cancel() {
  state_->cancelled = true;
  if (state_->source) state_->source->cancel();
}

}  // namespace platform::network
