#include "core/TCPServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <exception>

#include "core/RequestFraming.h"

namespace protocol = pellora::protocol;
using Clock = std::chrono::steady_clock;

struct TCPServer::Client {
  Client(int fd, std::unique_ptr<platform::dispatch::Waker> waker)
      : fd(fd), waker(std::move(waker)) {}
  // The descriptor lives as long as anyone may still write to it, so a number reused by a
  // later accept can never receive another client's frame.
  ~Client() { ::close(fd); }

  enum class Kind { FilterPaths, Icon, Answer, Push };
  struct Frame {
    std::string bytes;
    Kind kind;
  };
  // Unopened: no key yet, pushes pass it by. Opening: pushes wait behind the opening frames,
  // which are not queued yet. Ready: the queue is written. Closed: nothing more.
  enum class State { Unopened, Opening, Ready, Closed };

  const int fd;
  // Wakes the client's thread: there is something to write, or the connection is closed.
  const std::unique_ptr<platform::dispatch::Waker> waker;
  // Counted by the listener without the client's lock.
  std::atomic<bool> opened{false};

  std::mutex lock;  // guards the members below; frames leave the queue whole and in order
  State state = State::Unopened;
  std::deque<Frame> queue;
  size_t written = 0;  // bytes of queue.front() already sent
  size_t queuedBytes = 0;
  size_t pushBytes = 0;
};

namespace {

// While this much of a client's own answers waits to be written, its next request waits in the
// socket: a client that sends without reading cannot make the server hold unbounded answers.
constexpr size_t kReadPauseBytes = size_t{1} << 20;

int millisecondsUntil(Clock::time_point when) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(when - Clock::now()).count();
  return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, 1 << 30));
}

}  // namespace

TCPServer::TCPServer(int port, ResponseHelperInterface& responder, const platform::log::Log& log,
                     TCPServerSettings settings)
    : responder_(responder),
      port_(port),
      log_(log),
      settings_(std::move(settings)),
      waker_(platform::dispatch::Waker::create()) {}

TCPServer::~TCPServer() {
  stopping_ = true;
  running_ = false;
  if (waker_) waker_->wake();
  if (listener_.joinable()) listener_.join();
  std::vector<std::shared_ptr<Client>> clients;
  {
    std::lock_guard guard(lock_);
    for (const auto& [fd, c] : clients_) clients.push_back(c);
  }
  // Each client thread sees stopping_ when it wakes, and ends.
  for (const auto& c : clients) {
    ::shutdown(c->fd, SHUT_RDWR);
    c->waker->wake();
  }
  std::map<uint64_t, std::thread> threads;
  {
    std::lock_guard guard(lock_);
    threads.swap(threads_);
  }
  for (auto& [id, t] : threads) {
    if (t.joinable()) t.join();
  }
  clients.clear();
  {
    std::lock_guard guard(lock_);
    clients_.clear();
  }
  if (listenFd_ >= 0) ::close(listenFd_);
}

size_t TCPServer::clientCount() const {
  std::lock_guard guard(lock_);
  return clients_.size();
}

int TCPServer::bindListener() {
  if (listenFd_ >= 0) return 0;
  if (!waker_) {
    log_.errorf("Unable to open socket. Error:%d", -1);
    return EMFILE;
  }
  // htons() would silently bind another port than the port file names.
  if (port_ < 1 || port_ > 65535) {
    log_.error("Unable to bind.");
    return EINVAL;
  }
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
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
  // retries, and connections wait there while the server pauses accepting.
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
  for (auto& t : done) {
    if (t.joinable()) t.join();
  }
}

void TCPServer::listenerThread() {
  if (bindListener() != 0) return;
  // Failures come in bursts (a full descriptor table lasts); each burst is logged once, and
  // accepting pauses instead of spinning on a connection that cannot be taken.
  bool failing = false;
  bool refusing = false;
  Clock::time_point pausedUntil{};
  while (!stopping_) {
    const bool paused = Clock::now() < pausedUntil;
    pollfd fds[2] = {{paused ? -1 : listenFd_, POLLIN, 0}, {waker_->fd(), POLLIN, 0}};
    const int ready = ::poll(fds, 2, paused ? millisecondsUntil(pausedUntil) : -1);
    if (ready < 0 && errno == EINTR) continue;
    if (fds[1].revents & POLLIN) {
      waker_->drain();
      reapFinishedThreads();
    }
    if (stopping_) return;
    if (!(fds[0].revents & POLLIN)) continue;
    const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) {
      const int err = errno;
      if (err == EINTR || err == EAGAIN || err == EWOULDBLOCK || err == ECONNABORTED) continue;
      if (!failing) log_.errorf("Unable to accept socket. %s", std::strerror(err));
      failing = true;
      pausedUntil = Clock::now() + settings_.acceptPause;
      continue;
    }
    std::string why;
    switch (admit(fd, why)) {
      case Admission::Admitted:
        failing = refusing = false;
        break;
      case Admission::Refused:
        if (!refusing) log_.error("Too many connections; closing new ones until others end.");
        refusing = true;
        break;
      case Admission::Failed:
        if (!failing) log_.errorf("Unable to serve a new connection: %s", why.c_str());
        failing = true;
        pausedUntil = Clock::now() + settings_.acceptPause;
        break;
    }
  }
}

TCPServer::Admission TCPServer::admit(int fd, std::string& why) {
  // Requests and answers are small; never let one wait for a delayed acknowledgement.
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  std::shared_ptr<Client> client;
  try {
    auto waker = platform::dispatch::Waker::create();
    if (!waker) {
      why = std::strerror(errno);
      ::close(fd);
      return Admission::Failed;
    }
    // From here the client owns the descriptor: every way out below closes it.
    client = std::make_shared<Client>(fd, std::move(waker));
    std::lock_guard guard(lock_);
    size_t unopened = 0;
    for (const auto& [n, c] : clients_) unopened += c->opened ? 0 : 1;
    if (clients_.size() >= settings_.maxClients || unopened >= settings_.maxUnopenedClients) {
      return Admission::Refused;
    }
    const uint64_t id = nextThread_++;
    auto body = [this, client, id] {
      socketThread(client);
      std::lock_guard guard(lock_);
      finished_.push_back(id);
      waker_->wake();
    };
    const auto slot = threads_.try_emplace(id).first;
    try {
      slot->second = settings_.startThreadForTesting ? settings_.startThreadForTesting(body)
                                                     : std::thread(body);
    } catch (const std::exception& e) {
      // This connection only: it is closed, the listener goes on.
      threads_.erase(slot);
      why = e.what();
      return Admission::Failed;
    }
    // In place before the thread can reach its removal step, which waits for lock_.
    clients_[fd] = client;
    return Admission::Admitted;
  } catch (const std::exception& e) {
    if (!client) ::close(fd);
    why = e.what();
    return Admission::Failed;
  }
}

bool TCPServer::flush(Client& c) {
  if (c.state != Client::State::Ready) return c.state != Client::State::Closed;
  while (!c.queue.empty()) {
    Client::Frame& frame = c.queue.front();
    const ssize_t n = ::send(c.fd, frame.bytes.data() + c.written, frame.bytes.size() - c.written,
                             MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      // The client's own thread writes the rest once the socket has room.
      c.waker->wake();
      return true;
    }
    if (n < 0) {
      switch (frame.kind) {
        case Client::Kind::FilterPaths:
          drop(c, "Unable to set filter paths.");
          break;
        case Client::Kind::Icon:
          drop(c, "Unable to set icon paths.");
          break;
        case Client::Kind::Answer:
          drop(c, "Unable to write to socket.");
          break;
        case Client::Kind::Push:
          drop(c, "Unable to write to socket - Monitor.");
          break;
      }
      return false;
    }
    c.written += static_cast<size_t>(n);
    if (c.written < frame.bytes.size()) continue;
    c.queuedBytes -= frame.bytes.size();
    if (frame.kind == Client::Kind::Push) c.pushBytes -= frame.bytes.size();
    c.queue.pop_front();
    c.written = 0;
  }
  return true;
}

void TCPServer::drop(Client& c, const char* why) {
  if (c.state == Client::State::Closed) return;
  if (why && !stopping_) log_.error(why);
  c.state = Client::State::Closed;
  c.queue.clear();
  c.written = c.queuedBytes = c.pushBytes = 0;
  // Ends the connection and wakes its thread, which then removes the client.
  ::shutdown(c.fd, SHUT_RDWR);
  c.waker->wake();
}

bool TCPServer::openClient(Client& c) {
  {
    // From here pushes are kept for this client, behind its opening frames: whatever changes
    // after the filter paths are read below still reaches it.
    std::lock_guard guard(lock_);
    std::lock_guard clientGuard(c.lock);
    if (c.state == Client::State::Closed) return false;
    c.state = Client::State::Opening;
    c.opened = true;
  }
  std::string filterPaths = protocol::frame(responder_.getFilterPaths());
  std::string icon = protocol::frame(responder_.getIcon());
  std::lock_guard guard(lock_);
  std::lock_guard clientGuard(c.lock);
  if (c.state == Client::State::Closed) return false;
  // Nothing of the queue was written yet, so the opening frames can go in front of it.
  c.queuedBytes += filterPaths.size() + icon.size();
  c.queue.push_front({std::move(icon), Client::Kind::Icon});
  c.queue.push_front({std::move(filterPaths), Client::Kind::FilterPaths});
  c.state = Client::State::Ready;
  return flush(c);
}

void TCPServer::socketThread(const std::shared_ptr<Client>& client) {
  Client& c = *client;
  try {
    ReceiveState receive;
    const auto openBy = Clock::now() + settings_.openingTimeout;
    const auto isKey = [this](const std::string& first) {
      return responder_.verifyZavroSocket(first);
    };
    char buffer[1024];
    bool serving = true;
    while (serving && !stopping_) {
      short events = 0;
      {
        std::lock_guard guard(c.lock);
        if (c.state == Client::State::Closed) break;
        if (c.state == Client::State::Ready && !c.queue.empty()) events |= POLLOUT;
        if (c.queuedBytes - c.pushBytes < kReadPauseBytes) events |= POLLIN;
      }
      int timeout = -1;
      if (!receive.opened) {
        timeout = millisecondsUntil(openBy);
        if (timeout == 0) {
          log_.error("No opening message in time; closing the connection.");
          break;
        }
      }
      pollfd fds[2] = {{c.fd, events, 0}, {c.waker->fd(), POLLIN, 0}};
      if (::poll(fds, 2, timeout) < 0) {
        if (errno == EINTR) continue;
        log_.errorf("Socket error: %s", std::strerror(errno));
        break;
      }
      if (stopping_) break;
      if (fds[1].revents & POLLIN) c.waker->drain();
      const short revents = fds[0].revents;
      if (revents & POLLOUT) {
        std::lock_guard guard(c.lock);
        if (!flush(c)) break;
      }
      if (revents & POLLNVAL) break;
      if (!(revents & (POLLIN | POLLHUP | POLLERR))) continue;
      if (!(events & POLLIN)) {
        if (revents & (POLLHUP | POLLERR)) break;
        continue;
      }
      const ssize_t n = ::recv(c.fd, buffer, sizeof buffer - 1, 0);
      if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
      if (n < 0) {
        if (!stopping_) log_.errorf("Socket error: %s", std::strerror(errno));
        break;
      }
      if (n == 0) break;
      ReceiveStep step = receiveRead(receive, std::string_view(buffer, static_cast<size_t>(n)),
                                     isKey, kMaxRequestBytes);
      switch (step.kind) {
        case ReceiveStep::Kind::Wait:
          break;
        case ReceiveStep::Kind::Rejected:
          // A wrong opening message closes this connection only; the others are served on.
          serving = false;
          break;
        case ReceiveStep::Kind::TooLong:
          log_.errorf(
              "Request text exceeds %zu bytes without a line break; closing the connection.",
              kMaxRequestBytes);
          serving = false;
          break;
        case ReceiveStep::Kind::Opened:
          serving = openClient(c);
          break;
        case ReceiveStep::Kind::HandOver: {
          std::string answer;
          responder_.analyzeInputAndGenerateOutput(step.text, answer);
          answer.append(protocol::kFrameEnd);
          std::lock_guard guard(c.lock);
          if (c.state == Client::State::Closed) {
            serving = false;
            break;
          }
          c.queuedBytes += answer.size();
          c.queue.push_back({std::move(answer), Client::Kind::Answer});
          serving = flush(c);
          break;
        }
      }
    }
  } catch (const std::exception& e) {
    log_.errorf("Failed in socket thread:%s", e.what());
  }
  std::lock_guard guard(lock_);
  {
    std::lock_guard clientGuard(c.lock);
    drop(c, nullptr);
  }
  const auto it = clients_.find(c.fd);
  if (it != clients_.end() && it->second == client) clients_.erase(it);
}

void TCPServer::notifyAllSockets(std::string& message) {
  message.append(protocol::kFrameEnd);
  std::lock_guard guard(lock_);
  for (const auto& [fd, client] : clients_) {
    Client& c = *client;
    std::lock_guard clientGuard(c.lock);
    if (c.state == Client::State::Unopened || c.state == Client::State::Closed) continue;
    if (c.pushBytes + message.size() > settings_.maxQueuedBytes) {
      drop(c, "A client stopped reading its pushes; closing its connection.");
      continue;
    }
    c.queue.push_back({message, Client::Kind::Push});
    c.queuedBytes += message.size();
    c.pushBytes += message.size();
    flush(c);
  }
}
