#include "core/TCPServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>

struct TCPServer::Client {
  explicit Client(int fd) : fd(fd) {}
  // The descriptor lives as long as anyone may still write to it, so a number reused by a
  // later accept can never receive another client's frame.
  ~Client() { ::close(fd); }
  const int fd;
  std::mutex writeLock;  // one frame at a time on this connection
  // Set once the opening frames are out; pushes skip clients that have not proved the key.
  bool verified = false;
};

namespace {

bool writeAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      // The send time-out passed: the client stopped reading. Ending the connection also ends
      // its thread; the extension reconnects.
      ::shutdown(fd, SHUT_RDWR);
      return false;
    }
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

TCPServer::TCPServer(int port, ResponseHelperInterface& responder, const platform::log::Log& log)
    : responder_(responder), port_(port), log_(log) {
  wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

TCPServer::~TCPServer() {
  stopping_ = true;
  running_ = false;
  wake();
  if (listener_.joinable()) listener_.join();
  std::vector<std::shared_ptr<Client>> clients;
  {
    std::lock_guard guard(lock_);
    for (const auto& [fd, c] : clients_) clients.push_back(c);
  }
  // Wakes reads and writes blocked on the sockets; each client thread then ends.
  for (const auto& c : clients) ::shutdown(c->fd, SHUT_RDWR);
  std::map<uint64_t, std::thread> threads;
  {
    std::lock_guard guard(lock_);
    threads.swap(threads_);
  }
  for (auto& [id, t] : threads) t.join();
  clients.clear();
  {
    std::lock_guard guard(lock_);
    clients_.clear();
  }
  if (listenFd_ >= 0) ::close(listenFd_);
  if (wakeFd_ >= 0) ::close(wakeFd_);
}

void TCPServer::wake() {
  const uint64_t one = 1;
  [[maybe_unused]] ssize_t n = ::write(wakeFd_, &one, sizeof one);
}

size_t TCPServer::clientCount() const {
  std::lock_guard guard(lock_);
  return clients_.size();
}

int TCPServer::bindListener() {
  if (listenFd_ >= 0) return 0;
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    const int err = errno;
    log_.errorf("Unable to open socket. Error:%d", fd);
    return err;
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  // Loopback only: the extension connects to localhost, and nothing else may reach the service.
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port_));
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) < 0) {
    const int err = errno;
    log_.error("Unable to bind.");
    ::close(fd);
    return err;
  }
  // A deep backlog: extensions that all reconnect in the same second must not wait for SYN
  // retries.
  if (::listen(fd, SOMAXCONN) < 0) {
    const int err = errno;
    log_.errorf("Unable to start listen to port:%d.", port_);
    ::close(fd);
    return err;
  }
  listenFd_ = fd;
  return 0;
}

void TCPServer::startTCPServer() {
  if (listener_.joinable()) return;
  listener_ = std::thread([this] { listenerThread(); });
}

void TCPServer::reapFinishedThreads() {
  std::vector<std::thread> done;
  {
    std::lock_guard guard(lock_);
    for (uint64_t id : finished_) {
      auto it = threads_.find(id);
      if (it == threads_.end()) continue;
      done.push_back(std::move(it->second));
      threads_.erase(it);
    }
    finished_.clear();
  }
  for (auto& t : done) t.join();
}

void TCPServer::listenerThread() {
  try {
    if (bindListener() != 0) return;
    pollfd fds[2] = {{listenFd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
    while (running_) {
      const int ready = ::poll(fds, 2, -1);
      if (ready < 0 && errno == EINTR) continue;
      if (fds[1].revents & POLLIN) {
        uint64_t value;
        [[maybe_unused]] ssize_t n = ::read(wakeFd_, &value, sizeof value);
        reapFinishedThreads();
      }
      if (stopping_ || !running_) return;
      if (!(fds[0].revents & POLLIN)) continue;
      const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) {
        log_.error("Unable to accept socket.");
        continue;
      }
      // Requests and answers are small; never let one wait for a delayed acknowledgement.
      const int one = 1;
      ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      const auto ms = sendTimeout_.count();
      const timeval timeout{static_cast<time_t>(ms / 1000), static_cast<suseconds_t>(ms % 1000 * 1000)};
      ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
      auto client = std::make_shared<Client>(fd);
      std::lock_guard guard(lock_);
      clients_[fd] = client;
      const uint64_t id = nextThread_++;
      threads_[id] = std::thread([this, client, id] {
        socketThread(client);
        std::lock_guard guard(lock_);
        finished_.push_back(id);
        wake();
      });
    }
  } catch (const std::exception& e) {
    log_.errorf("Failed in listener tcp thread:%s", e.what());
  }
}

bool TCPServer::writeFrame(Client& client, const std::string& frame) {
  std::lock_guard guard(client.writeLock);
  return writeAll(client.fd, frame.data(), frame.size());
}

void TCPServer::socketThread(std::shared_ptr<Client> client) {
  try {
    std::string accumulated;
    bool first = true;
    char buffer[1024];
    while (running_) {
      std::memset(buffer, 0, sizeof buffer);
      const ssize_t n = ::recv(client->fd, buffer, sizeof buffer - 1, 0);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        if (!stopping_) log_.errorf("Socket error: %s", std::strerror(errno));
        break;
      }
      if (n == 0) break;
      // A read's text ends at its first NUL byte.
      const std::string piece(buffer);
      if (first) {
        // The opening message must come whole in the first read. A wrong one closes this
        // connection only; the other clients are served as before.
        if (!responder_.verifyZavroSocket(piece)) break;
        const std::string filterPaths = responder_.getFilterPaths() + "\r\n";
        const std::string icon = responder_.getIcon() + "\r\n";
        {
          // No push may come before these two frames.
          std::lock_guard guard(client->writeLock);
          if (!writeAll(client->fd, filterPaths.data(), filterPaths.size())) {
            log_.error("Unable to set filter paths.");
          }
          if (!writeAll(client->fd, icon.data(), icon.size())) {
            log_.error("Unable to set icon paths.");
          }
          client->verified = true;
        }
        first = false;
        continue;
      }
      accumulated += piece;
      if (accumulated.size() > kMaxRequestBytes) {
        log_.errorf("Request text exceeds %zu bytes without a line break; closing the connection.",
                    kMaxRequestBytes);
        break;
      }
      // Earlier pieces held no line break, so only the new one needs looking at.
      const size_t lastBreak = piece.find_last_of("\r\n");
      if (lastBreak == std::string::npos) continue;
      // Text after the last line break is the start of a request that TCP split; it waits for
      // the rest instead of being handed over half.
      const size_t end = accumulated.size() - piece.size() + lastBreak + 1;
      std::string rest = accumulated.substr(end);
      accumulated.resize(end);
      std::string answer;
      responder_.analyzeInputAndGenerateOutput(accumulated, answer);
      answer += "\r\n";
      if (!writeFrame(*client, answer)) log_.error("Unable to write to socket.");
      accumulated = std::move(rest);
    }
  } catch (const std::exception& e) {
    log_.errorf("Failed in socket thread:%s", e.what());
  }
  std::lock_guard guard(lock_);
  clients_.erase(client->fd);
}

void TCPServer::notifyAllSockets(std::string& message) {
  message += "\r\n";
  std::vector<std::shared_ptr<Client>> clients;
  {
    std::lock_guard guard(lock_);
    for (const auto& [fd, c] : clients_) clients.push_back(c);
  }
  // Written outside the client lock, so that a slow client cannot hold up accepts or the
  // removal of others; each connection's own lock keeps its frames whole and in order.
  for (const auto& c : clients) {
    std::lock_guard guard(c->writeLock);
    if (!c->verified) continue;
    if (!writeAll(c->fd, message.data(), message.size())) {
      log_.error("Unable to write to socket - Monitor.");
    }
  }
}
