#include "MessageSocket.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace pellora::testing {

using Clock = std::chrono::steady_clock;

MessageSocket::~MessageSocket() { close(); }

MessageSocket MessageSocket::pair(int& peer) {
  int fds[2] = {-1, -1};
  ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds);
  peer = fds[1];
  return MessageSocket(fds[0]);
}

void MessageSocket::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool MessageSocket::send(const nlohmann::json& message) {
  const std::string line = message.dump() + "\n";
  size_t off = 0;
  while (off < line.size()) {
    const ssize_t n = ::send(fd_, line.data() + off, line.size() - off, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    off += static_cast<size_t>(n);
  }
  return true;
}

bool MessageSocket::fill(Clock::time_point deadline) {
  for (;;) {
    // A deadline already passed still gets one look at what is there.
    const auto left = std::max<long long>(
        0, std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
    if (fd_ < 0) return false;
    pollfd p{fd_, POLLIN, 0};
    const int ready = ::poll(&p, 1, static_cast<int>(left));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    char buf[65536];
    const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    buffer_.append(buf, static_cast<size_t>(n));
    return true;
  }
}

nlohmann::json MessageSocket::next(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    if (const size_t nl = buffer_.find('\n'); nl != std::string::npos) {
      auto m = nlohmann::json::parse(buffer_.substr(0, nl), nullptr, false);
      buffer_.erase(0, nl + 1);
      return m.is_discarded() ? nlohmann::json("unparsable") : m;
    }
    if (!fill(deadline)) return nullptr;
  }
}

nlohmann::json MessageSocket::nextOp(const std::string& op, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return nullptr;
    auto m = next(left);
    if (m.is_null() || (m.is_object() && m.value("op", "") == op)) return m;
  }
}

std::vector<nlohmann::json> MessageSocket::drain(std::chrono::milliseconds quiet) {
  std::vector<nlohmann::json> out;
  for (;;) {
    auto m = next(quiet);
    if (m.is_null()) return out;
    out.push_back(std::move(m));
  }
}

bool MessageSocket::waitEnd(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    pollfd p{fd_, POLLIN, 0};
    const int ready = ::poll(&p, 1, static_cast<int>(left));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    char buf[4096];
    const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) return true;
  }
}

}  // namespace pellora::testing
