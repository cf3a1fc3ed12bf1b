#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "StopSignal.h"

namespace pellora::gatewaysim {
namespace {

// Polls the stop pipe (and fd, when given) until timeout; returns the stop pipe's state.
bool stopSeen(int stopFd, int fd, int timeoutMs, bool* fdReady) {
  pollfd fds[2] = {{stopFd, POLLIN, 0}, {fd, POLLIN, 0}};
  const nfds_t count = fd >= 0 ? 2 : 1;
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    int wait = timeoutMs;
    if (timeoutMs >= 0) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      wait = static_cast<int>(std::max<long>(0, left.count()));
    }
    const int n = ::poll(fds, count, wait);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    if (fds[0].revents) return true;
    if (fdReady && count == 2 && fds[1].revents) *fdReady = true;
    return false;
  }
}

}  // namespace

StopSignal::StopSignal() {
  if (::pipe2(fds_, O_CLOEXEC | O_NONBLOCK) != 0) fds_[0] = fds_[1] = -1;
}

StopSignal::~StopSignal() {
  for (int fd : fds_) {
    if (fd >= 0) ::close(fd);
  }
}

void StopSignal::trigger() {
  // The byte stays unread: the pipe remains readable for every later wait.
  const char byte = 1;
  [[maybe_unused]] const ssize_t n = ::write(fds_[1], &byte, 1);
}

bool StopSignal::triggered() const { return stopSeen(fds_[0], -1, 0, nullptr); }

bool StopSignal::sleepFor(std::chrono::milliseconds duration) const {
  if (duration.count() <= 0) return !triggered();
  return !stopSeen(fds_[0], -1, static_cast<int>(duration.count()), nullptr);
}

bool StopSignal::waitReadable(int fd) const {
  bool ready = false;
  const bool stopped = stopSeen(fds_[0], fd, -1, &ready);
  return !stopped && ready;
}

}  // namespace pellora::gatewaysim
