#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "ControlClient.h"

namespace pellora::gatewaysim {

bool sendCommand(const std::string& socketPath, const std::string& line, std::string& answer,
                 std::chrono::milliseconds timeout) {
  answer.clear();
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (socketPath.size() >= sizeof addr.sun_path) {
    answer = "socket path too long";
    return false;
  }
  std::memcpy(addr.sun_path, socketPath.c_str(), socketPath.size() + 1);
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    answer = std::strerror(errno);
    return false;
  }
  timeval tv{};
  tv.tv_sec = timeout.count() / 1000;
  tv.tv_usec = (timeout.count() % 1000) * 1000;
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  const auto fail = [&](const std::string& why) {
    answer = why;
    ::close(fd);
    return false;
  };
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    return fail("connect " + socketPath + ": " + std::strerror(errno));
  }
  const std::string request = line + "\n";
  for (size_t off = 0; off < request.size();) {
    const ssize_t n = ::send(fd, request.data() + off, request.size() - off, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return fail(std::string("send: ") + std::strerror(errno));
    off += static_cast<size_t>(n);
  }
  std::string reply;
  for (;;) {
    char buf[4096];
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return fail(std::string("recv: ") + std::strerror(errno));
    if (n == 0) return fail("connection closed before the answer");
    reply.append(buf, static_cast<size_t>(n));
    const size_t nl = reply.find('\n');
    if (nl != std::string::npos) {
      answer = reply.substr(0, nl);
      ::close(fd);
      return true;
    }
  }
}

}  // namespace pellora::gatewaysim
