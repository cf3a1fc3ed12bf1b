#include "core/TCPServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <exception>

#include "core/RequestFraming.h"

namespace protocol = pellora::protocol;

struct TCPServer::Client {
  Client(int fd, Clock::time_point openBy) : fd(fd), openBy(openBy) {}
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
  const Clock::time_point openBy;
  // Counted by the listener without the client's lock.
  std::atomic<bool> opened{false};
  // Among the connected extensions (connectedCount_); guarded by the server's lock_.
  bool connected = false;
  // Only the worker that serves the client touches it.
  ReceiveState receive;

  std::mutex lock;  // guards the members below; frames leave the queue whole and in order
  State state = State::Unopened;
  // A worker serves the client; the others leave it to that one.
  bool serving = false;
  // Epoll reports it when it is ready (no worker has taken that report yet).
  bool watched = false;
  std::deque<Frame> queue;
  size_t written = 0;  // bytes of queue.front() already sent
  size_t queuedBytes = 0;
  size_t pushBytes = 0;
};

struct TCPServer::Worker {
  std::thread thread;
  // Since when (steady-clock nanoseconds) it serves a client; 0 while it waits.
  std::atomic<int64_t> busySince{0};
};

namespace {

using Clock = std::chrono::steady_clock;

// While this much of a client's own answers waits to be written, its next request waits in the
// socket: a client that sends without reading cannot make the server hold unbounded answers.
constexpr size_t kReadPauseBytes = size_t{1} << 20;
// Reads of one client in one turn of a worker: a client that sends much takes its turns with
// the others, and the answers of a turn go out together.
constexpr int kReadsPerTurn = 64;
// Frames written by one call.
constexpr size_t kFramesPerWrite = 64;

int millisecondsUntil(Clock::time_point when) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(when - Clock::now()).count();
  return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, 1 << 30));
}

int64_t nanosNow() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
      .count();
}

size_t defaultWorkers() { return std::clamp<size_t>(std::thread::hardware_concurrency(), 2, 8); }

}  // namespace

TCPServer::TCPServer(int port, ResponseHelperInterface& responder, const platform::log::Log& log,
                     TCPServerSettings settings)
    : responder_(responder),
      port_(port),
      log_(log),
      settings_(std::move(settings)),
      baseWorkers_(settings_.workers ? settings_.workers : defaultWorkers()),
      epollFd_(::epoll_create1(EPOLL_CLOEXEC)),
      waker_(platform::dispatch::Waker::create()),
      stopWorkers_(platform::dispatch::Waker::create()) {
  if (epollFd_ < 0 || !stopWorkers_) return;
  epoll_event stop{};
  stop.events = EPOLLIN;
  stop.data.fd = stopWorkers_->fd();
  if (::epoll_ctl(epollFd_, EPOLL_CTL_ADD, stopWorkers_->fd(), &stop) != 0) stopWorkers_.reset();
}

TCPServer::~TCPServer() {
  stopping_ = true;
  running_ = false;
  if (waker_) waker_->wake();
  if (listener_.joinable()) listener_.join();
  if (stopWorkers_) stopWorkers_->wake();
  std::map<uint64_t, std::shared_ptr<Worker>> workers;
  {
    std::lock_guard guard(lock_);
    workers.swap(workers_);
  }
  for (auto& [id, w] : workers) {
    if (w->thread.joinable()) w->thread.join();
  }
  std::map<int, std::shared_ptr<Client>> clients;
  {
    std::lock_guard guard(lock_);
    clients.swap(clients_);
  }
  clients.clear();  // closes every connection
  if (listenFd_ >= 0) ::close(listenFd_);
  if (epollFd_ >= 0) ::close(epollFd_);
}

size_t TCPServer::clientCount() const {
  std::lock_guard guard(lock_);
  return clients_.size();
}

int TCPServer::bindListener() {
  if (listenFd_ >= 0) return 0;
  if (!waker_ || !stopWorkers_ || epollFd_ < 0) {
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
  std::vector<std::shared_ptr<Worker>> done;
  {
    std::lock_guard guard(lock_);
    for (uint64_t id : finished_) {
      auto it = workers_.find(id);
      if (it == workers_.end()) continue;
      done.push_back(std::move(it->second));
      workers_.erase(it);
    }
    finished_.clear();
  }
  for (auto& w : done) {
    if (w->thread.joinable()) w->thread.join();
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
    const auto now = Clock::now();
    const bool paused = now < pausedUntil;
    Clock::time_point wakeBy = closeLateOpenings();
    if (paused) wakeBy = std::min(wakeBy, pausedUntil);
    if (supervising_) wakeBy = std::min(wakeBy, now + settings_.stuckAfter / 2);
    pollfd fds[2] = {{paused ? -1 : listenFd_, POLLIN, 0}, {waker_->fd(), POLLIN, 0}};
    const int ready =
        ::poll(fds, 2, wakeBy == Clock::time_point::max() ? -1 : millisecondsUntil(wakeBy));
    if (ready < 0 && errno == EINTR) continue;
    if (fds[1].revents & POLLIN) {
      waker_->drain();
      reapFinishedThreads();
    }
    if (stopping_) return;
    if (supervising_) superviseWorkers();
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

TCPServer::Clock::time_point TCPServer::closeLateOpenings() {
  const auto now = Clock::now();
  auto next = Clock::time_point::max();
  std::lock_guard guard(lock_);
  for (const auto& [fd, client] : clients_) {
    if (client->opened) continue;
    if (client->openBy > now) {
      next = std::min(next, client->openBy);
      continue;
    }
    std::lock_guard clientGuard(client->lock);
    if (client->state == Client::State::Unopened) {
      drop(*client, "No opening message in time; closing the connection.");
    }
  }
  return next;
}

void TCPServer::superviseWorkers() {
  std::lock_guard guard(lock_);
  const size_t workers = workerCount_;
  if (busy_ < workers) {
    // A worker that became the last busy one just now saw supervising_ still set and did not
    // wake the listener; looking again after clearing it catches that one.
    supervising_ = false;
    if (busy_ >= workers) supervising_ = true;
    return;
  }
  const int64_t heldSince = nanosNow() - std::chrono::nanoseconds(settings_.stuckAfter).count();
  for (const auto& [id, w] : workers_) {
    const int64_t since = w->busySince;
    if (since == 0 || since > heldSince) return;
  }
  // Every worker is held up; one more can serve the others, while there are others.
  if (workers >= clients_.size()) return;
  std::string why;
  if (!startWorker(why)) log_.errorf("Unable to start a worker: %s", why.c_str());
}

bool TCPServer::startWorker(std::string& why) {
  const uint64_t id = nextWorker_++;
  auto worker = std::make_shared<Worker>();
  auto body = [this, worker, id] {
    workerThread(*worker);
    std::lock_guard guard(lock_);
    finished_.push_back(id);
    waker_->wake();
  };
  try {
    worker->thread =
        settings_.startThreadForTesting ? settings_.startThreadForTesting(body) : std::thread(body);
  } catch (const std::exception& e) {
    why = e.what();
    return false;
  }
  workers_[id] = std::move(worker);
  ++workerCount_;
  return true;
}

TCPServer::Admission TCPServer::admit(int fd, std::string& why) {
  // Requests and answers are small; never let one wait for a delayed acknowledgement.
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  std::shared_ptr<Client> client;
  try {
    // From here the client owns the descriptor: every way out below closes it.
    client = std::make_shared<Client>(fd, Clock::now() + settings_.openingTimeout);
    std::lock_guard guard(lock_);
    size_t unopened = 0;
    for (const auto& [n, c] : clients_) unopened += c->opened ? 0 : 1;
    if (clients_.size() >= settings_.maxClients || unopened >= settings_.maxUnopenedClients) {
      return Admission::Refused;
    }
    // A worker for each client up to the base number.
    if (workerCount_ < std::min(clients_.size() + 1, baseWorkers_) && !startWorker(why) &&
        workerCount_ == 0) {
      return Admission::Failed;  // this connection only: it is closed, the listener goes on
    }
    // In place before a worker can look for it.
    clients_[fd] = client;
    clientTotal_ = clients_.size();
    client->watched = true;
    epoll_event event{};
    event.events = EPOLLIN | EPOLLONESHOT;
    event.data.fd = fd;
    if (::epoll_ctl(epollFd_, EPOLL_CTL_ADD, fd, &event) != 0) {
      why = std::strerror(errno);
      clients_.erase(fd);
      clientTotal_ = clients_.size();
      return Admission::Failed;
    }
    return Admission::Admitted;
  } catch (const std::exception& e) {
    if (!client) ::close(fd);
    why = e.what();
    return Admission::Failed;
  }
}

void TCPServer::workerThread(Worker& self) {
  epoll_event event{};
  while (!stopping_) {
    // Extra workers end once they idle; the base ones wait for work for as long as it takes.
    const int timeout =
        workerCount_ > baseWorkers_ ? static_cast<int>(settings_.extraWorkerIdle.count()) : -1;
    const int n = ::epoll_wait(epollFd_, &event, 1, timeout);
    if (stopping_) return;
    if (n < 0) {
      if (errno == EINTR) continue;
      log_.errorf("Socket error: %s", std::strerror(errno));
      return;
    }
    if (n == 0) {
      std::lock_guard guard(lock_);
      if (workerCount_ <= baseWorkers_) continue;
      --workerCount_;
      return;
    }
    if (event.data.fd == stopWorkers_->fd()) return;
    std::shared_ptr<Client> client;
    {
      std::lock_guard guard(lock_);
      const auto it = clients_.find(event.data.fd);
      if (it != clients_.end()) client = it->second;
    }
    if (!client) continue;
    self.busySince = nanosNow();
    // When every worker is busy and other clients may be waiting, the listener starts watching
    // for workers held up.
    const size_t workers = workerCount_;
    if (busy_.fetch_add(1) + 1 >= workers && clientTotal_ > workers &&
        !supervising_.exchange(true)) {
      waker_->wake();
    }
    try {
      serve(client, event.events);
    } catch (const std::exception& e) {
      log_.errorf("Failed in socket thread:%s", e.what());
      {
        std::lock_guard guard(client->lock);
        drop(*client, nullptr);
        client->serving = false;
      }
      remove(client);
    }
    --busy_;
    self.busySince = 0;
  }
}

void TCPServer::serve(const std::shared_ptr<Client>& client, uint32_t events) {
  Client& c = *client;
  {
    std::lock_guard guard(c.lock);
    // Another worker has it: that one watches the connection again when it is done, and epoll
    // then reports whatever woke this one.
    if (c.serving) return;
    c.serving = true;
    c.watched = false;
  }
  bool open = true;
  if (events & EPOLLOUT) {
    std::lock_guard guard(c.lock);
    open = flush(c);
  }
  if (open) open = receive(c, events);
  bool ended = false;
  {
    std::lock_guard guard(c.lock);
    if (open && c.state != Client::State::Closed) open = flush(c) && watch(c);
    if (!open || c.state == Client::State::Closed) {
      drop(c, nullptr);
      ended = true;
    }
    c.serving = false;
  }
  if (ended) remove(client);
}

bool TCPServer::receive(Client& c, uint32_t events) {
  char buffer[1024];
  for (int reads = 0; reads < kReadsPerTurn && !stopping_; ++reads) {
    {
      std::lock_guard guard(c.lock);
      if (c.state == Client::State::Closed) return false;
      // Reading waits until the client takes its answers, unless it has gone.
      if (c.queuedBytes - c.pushBytes >= kReadPauseBytes) return !(events & (EPOLLHUP | EPOLLERR));
    }
    const ssize_t n = ::recv(c.fd, buffer, sizeof buffer - 1, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
    if (n < 0) {
      if (!stopping_) log_.errorf("Socket error: %s", std::strerror(errno));
      return false;
    }
    if (n == 0) return false;
    ReceiveStep step = receiveRead(
        c.receive, std::string_view(buffer, static_cast<size_t>(n)),
        [this](const std::string& first) { return responder_.verifyZavroSocket(first); },
        kMaxRequestBytes);
    switch (step.kind) {
      case ReceiveStep::Kind::Wait:
        break;
      case ReceiveStep::Kind::Rejected:
        // A wrong opening message closes this connection only; the others are served on.
        return false;
      case ReceiveStep::Kind::TooLong:
        log_.errorf("Request text exceeds %zu bytes without a line break; closing the connection.",
                    kMaxRequestBytes);
        return false;
      case ReceiveStep::Kind::Opened:
        if (!openClient(c)) return false;
        break;
      case ReceiveStep::Kind::HandOver: {
        std::string answer;
        responder_.analyzeInputAndGenerateOutput(step.text, answer);
        answer.append(protocol::kFrameEnd);
        std::lock_guard guard(c.lock);
        if (c.state == Client::State::Closed) return false;
        // Written with the turn's other answers.
        c.queuedBytes += answer.size();
        c.queue.push_back({std::move(answer), Client::Kind::Answer});
        break;
      }
    }
    // A short read most likely emptied the socket; epoll tells when there is more.
    if (static_cast<size_t>(n) < sizeof buffer - 1) return true;
  }
  return true;
}

bool TCPServer::flush(Client& c) {
  if (c.state != Client::State::Ready) return c.state != Client::State::Closed;
  while (!c.queue.empty()) {
    iovec parts[kFramesPerWrite];
    size_t count = 0;
    for (auto it = c.queue.begin(); it != c.queue.end() && count < kFramesPerWrite; ++it) {
      const size_t skip = count == 0 ? c.written : 0;
      parts[count++] = {it->bytes.data() + skip, it->bytes.size() - skip};
    }
    msghdr message{};
    message.msg_iov = parts;
    message.msg_iovlen = count;
    const ssize_t n = ::sendmsg(c.fd, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      // The rest goes once the socket has room: a worker that serves the client watches for
      // that when it is done; otherwise epoll is told now.
      return !c.watched || watch(c);
    }
    if (n < 0) {
      switch (c.queue.front().kind) {
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
    for (size_t sent = static_cast<size_t>(n); sent > 0;) {
      Client::Frame& frame = c.queue.front();
      const size_t left = frame.bytes.size() - c.written;
      if (sent < left) {
        c.written += sent;
        break;
      }
      sent -= left;
      c.queuedBytes -= frame.bytes.size();
      if (frame.kind == Client::Kind::Push) c.pushBytes -= frame.bytes.size();
      c.queue.pop_front();
      c.written = 0;
    }
  }
  return true;
}

bool TCPServer::watch(Client& c) {
  epoll_event event{};
  event.events = EPOLLONESHOT;
  if (c.queuedBytes - c.pushBytes < kReadPauseBytes) event.events |= EPOLLIN;
  if (c.state == Client::State::Ready && !c.queue.empty()) event.events |= EPOLLOUT;
  event.data.fd = c.fd;
  if (::epoll_ctl(epollFd_, EPOLL_CTL_MOD, c.fd, &event) != 0) {
    drop(c, "Unable to watch a connection; closing it.");
    return false;
  }
  c.watched = true;
  return true;
}

void TCPServer::drop(Client& c, const char* why) {
  if (c.state == Client::State::Closed) return;
  if (why && !stopping_) log_.error(why);
  c.state = Client::State::Closed;
  c.queue.clear();
  c.written = c.queuedBytes = c.pushBytes = 0;
  // Ends the connection; epoll reports the hang-up to a worker, which removes the client.
  ::shutdown(c.fd, SHUT_RDWR);
}

void TCPServer::remove(const std::shared_ptr<Client>& client) {
  {
    std::lock_guard guard(lock_);
    const auto it = clients_.find(client->fd);
    if (it == clients_.end() || it->second != client) return;
    ::epoll_ctl(epollFd_, EPOLL_CTL_DEL, client->fd, nullptr);
    clients_.erase(it);
    clientTotal_ = clients_.size();
    if (!client->connected) return;
    --connectedCount_;
  }
  responder_.connectionsChanged();
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
  bool flushed = false;
  {
    std::lock_guard guard(lock_);
    std::lock_guard clientGuard(c.lock);
    if (c.state == Client::State::Closed) return false;
    // Nothing of the queue was written yet, so the opening frames can go in front of it.
    c.queuedBytes += filterPaths.size() + icon.size();
    c.queue.push_front({std::move(icon), Client::Kind::Icon});
    c.queue.push_front({std::move(filterPaths), Client::Kind::FilterPaths});
    c.state = Client::State::Ready;
    c.connected = true;
    ++connectedCount_;
    flushed = flush(c);
  }
  // Told without the server's locks: the owner takes its own.
  responder_.connectionsChanged();
  return flushed;
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
