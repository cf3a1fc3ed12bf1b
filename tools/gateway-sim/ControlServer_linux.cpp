#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <vector>

#include "ControlServer.h"

namespace pellora::gatewaysim {
namespace {

// A client may not send a line longer than this.
constexpr size_t kMaxLine = 64 * 1024;

struct Client {
  std::string input;
};

bool sendAll(int fd, const std::string& data) {
  size_t off = 0;
  while (off < data.size()) {
    const ssize_t n = ::send(fd, data.data() + off, data.size() - off, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd p{fd, POLLOUT, 0};
      if (::poll(&p, 1, 5000) <= 0) return false;
      continue;
    }
    if (n <= 0) return false;
    off += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

ControlServer::ControlServer(std::string socketPath, Handler handler)
    : socketPath_(std::move(socketPath)), handler_(std::move(handler)) {}

ControlServer::~ControlServer() { stop(); }

int ControlServer::start() {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (socketPath_.size() >= sizeof addr.sun_path) return ENAMETOOLONG;
  std::memcpy(addr.sun_path, socketPath_.c_str(), socketPath_.size() + 1);
  listenFd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (listenFd_ < 0 || wakeFd_ < 0) return errno;
  ::unlink(socketPath_.c_str());
  if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(listenFd_, 16) != 0) {
    return errno;
  }
  thread_ = std::thread([this] { serve(); });
  return 0;
}

void ControlServer::stop() {
  if (thread_.joinable()) {
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(wakeFd_, &one, sizeof one);
    thread_.join();
    ::unlink(socketPath_.c_str());
  }
  if (listenFd_ >= 0) ::close(listenFd_);
  if (wakeFd_ >= 0) ::close(wakeFd_);
  listenFd_ = wakeFd_ = -1;
}

void ControlServer::serve() {
  std::map<int, Client> clients;
  const auto drop = [&](int fd) {
    ::close(fd);
    clients.erase(fd);
  };
  for (;;) {
    std::vector<pollfd> fds{{wakeFd_, POLLIN, 0}, {listenFd_, POLLIN, 0}};
    for (const auto& [fd, client] : clients) fds.push_back({fd, POLLIN, 0});
    const int n = ::poll(fds.data(), fds.size(), -1);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 || fds[0].revents) break;
    if (fds[1].revents & POLLIN) {
      const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
      if (fd >= 0) clients[fd];
    }
    for (size_t i = 2; i < fds.size(); ++i) {
      if (!fds[i].revents) continue;
      const int fd = fds[i].fd;
      char buf[4096];
      const ssize_t got = ::recv(fd, buf, sizeof buf, 0);
      if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      if (got <= 0) {
        drop(fd);
        continue;
      }
      auto& input = clients[fd].input;
      input.append(buf, static_cast<size_t>(got));
      bool ok = true;
      for (size_t nl; ok && (nl = input.find('\n')) != std::string::npos;) {
        const std::string line = input.substr(0, nl);
        input.erase(0, nl + 1);
        ok = sendAll(fd, handler_(line) + "\n");
      }
      if (!ok || input.size() > kMaxLine) drop(fd);
    }
  }
  for (const auto& [fd, client] : clients) ::close(fd);
}

}  // namespace pellora::gatewaysim
