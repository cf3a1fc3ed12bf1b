#include "ReopenChannel.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>

#include "ServiceLockFile.h"
#include "dispatch/FdSource.h"
#include "dispatch/Queue.h"

namespace {

constexpr char kRequest[] = "reopen\n";
constexpr char kAnswer[] = "ok\n";

std::optional<sockaddr_un> address(const std::string& path) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof addr.sun_path) return std::nullopt;
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  return addr;
}

bool waitFor(int fd, short events, int timeoutMilliseconds) {
  pollfd p{fd, events, 0};
  int rc;
  while ((rc = ::poll(&p, 1, timeoutMilliseconds)) < 0 && errno == EINTR) {
  }
  return rc > 0;
}

// The bytes of a short message, up to its line end; empty on a time-out or a close.
std::string readLine(int fd, int timeoutMilliseconds) {
  std::string line;
  char c;
  while (line.size() < 64 && waitFor(fd, POLLIN, timeoutMilliseconds)) {
    if (::read(fd, &c, 1) != 1) return {};
    line += c;
    if (c == '\n') return line;
  }
  return {};
}

int connectTo(const sockaddr_un& addr) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

std::string ReopenChannel::socketPath(const std::string& home) {
  return ServiceLockFile::hiddenFolderPath(home) + "/app.socket";
}

bool ReopenChannel::sendReopen(const std::string& path, int timeoutMilliseconds) {
  const auto addr = address(path);
  if (!addr) return false;
  const int fd = connectTo(*addr);
  if (fd < 0) return false;
  const bool sent = ::send(fd, kRequest, sizeof kRequest - 1, MSG_NOSIGNAL) == sizeof kRequest - 1;
  const bool answered = sent && readLine(fd, timeoutMilliseconds) == kAnswer;
  ::close(fd);
  return answered;
}

std::unique_ptr<ReopenChannel> ReopenChannel::listen(const std::string& path, std::function<void()> onReopen) {
  const auto addr = address(path);
  if (!addr) return nullptr;
  const std::string folder = path.substr(0, path.rfind('/'));
  ::mkdir(folder.c_str(), 0700);
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return nullptr;
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&*addr), sizeof *addr) != 0) {
    // A file nobody answers at is what a copy that died left behind.
    const int other = errno == EADDRINUSE ? connectTo(*addr) : -1;
    if (other >= 0 || errno != ECONNREFUSED || ::unlink(path.c_str()) != 0 ||
        ::bind(fd, reinterpret_cast<const sockaddr*>(&*addr), sizeof *addr) != 0) {
      if (other >= 0) ::close(other);
      ::close(fd);
      return nullptr;
    }
  }
  if (::listen(fd, 4) != 0) {
    ::close(fd);
    ::unlink(path.c_str());
    return nullptr;
  }
  return std::unique_ptr<ReopenChannel>(new ReopenChannel(fd, path, std::move(onReopen)));
}

ReopenChannel::ReopenChannel(int fd, std::string path, std::function<void()> onReopen)
    : fd_(fd), path_(std::move(path)), onReopen_(std::move(onReopen)) {
  source_ = std::make_unique<platform::dispatch::FdSource>(fd_, platform::dispatch::FdSource::Kind::Read,
                                                           platform::dispatch::mainQueue(), [this] { accept(); });
  source_->resume();
}

ReopenChannel::~ReopenChannel() {
  source_->cancel();
  source_.reset();
  ::close(fd_);
  ::unlink(path_.c_str());
}

void ReopenChannel::accept() {
  const int client = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
  if (client < 0) return;
  // The asking copy writes at once; one that does not is not waited for long.
  if (readLine(client, 500) == kRequest) {
    (void)!::send(client, kAnswer, sizeof kAnswer - 1, MSG_NOSIGNAL);
    if (onReopen_) onReopen_();
  }
  ::close(client);
}
