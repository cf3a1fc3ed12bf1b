#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <nlohmann/json.hpp>

#include "CommandServer.h"
#include "log/Log.h"

namespace pellora::finder {
namespace {

// A request is a handful of words; anything larger is not a client of ours.
constexpr size_t kMaxRequest = 1 << 20;

bool fillAddress(const std::string& path, sockaddr_un& addr) {
  addr = {};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) return false;
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  return true;
}

// True when something accepts connections on path.
bool answering(const std::string& path) {
  sockaddr_un addr;
  if (!fillAddress(path, addr)) return false;
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  ::close(fd);
  return ok;
}

}  // namespace

struct CommandServer::Client {
  int fd = -1;
  platform::dispatch::RunLoop::WatchId readWatch = 0;
  platform::dispatch::RunLoop::WatchId writeWatch = 0;
  std::string input;
  std::string output;
  bool asked = false;
};

CommandServer::CommandServer(std::string socketPath, Handler handler)
    : socketPath_(std::move(socketPath)),
      handler_(std::move(handler)),
      loop_(platform::dispatch::RunLoop::main()) {}

CommandServer::~CommandServer() { stop(); }

bool CommandServer::start(std::string& error) {
  sockaddr_un addr;
  if (!fillAddress(socketPath_, addr)) {
    error = socketPath_ + ": path too long for a socket";
    return false;
  }
  if (answering(socketPath_)) {
    error = "a Finder already runs on " + socketPath_;
    return false;
  }
  listenFd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (listenFd_ < 0) {
    error = std::string("socket: ") + std::strerror(errno);
    return false;
  }
  ::unlink(socketPath_.c_str());
  // Only the user may drive the user's Finder.
  const mode_t saved = ::umask(0077);
  const bool bound = ::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  ::umask(saved);
  if (!bound || ::listen(listenFd_, 64) != 0) {
    error = socketPath_ + ": " + std::strerror(errno);
    ::close(listenFd_);
    listenFd_ = -1;
    return false;
  }
  listenWatch_ = loop_->addWatch(listenFd_, POLLIN, [this](short) { accept(); });
  return true;
}

void CommandServer::stop() {
  *alive_ = false;
  if (listenFd_ < 0) return;
  loop_->removeWatch(listenWatch_);
  ::close(listenFd_);
  listenFd_ = -1;
  ::unlink(socketPath_.c_str());
  while (!clients_.empty()) drop(clients_.begin()->first);
}

void CommandServer::accept() {
  for (;;) {
    const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) return;
    const uint64_t id = nextId_++;
    auto client = std::make_unique<Client>();
    client->fd = fd;
    client->readWatch = loop_->addWatch(fd, POLLIN, [this, id](short) { readFrom(id); });
    clients_[id] = std::move(client);
  }
}

void CommandServer::readFrom(uint64_t id) {
  const auto it = clients_.find(id);
  if (it == clients_.end()) return;
  Client& c = *it->second;
  char buffer[4096];
  const ssize_t got = ::recv(c.fd, buffer, sizeof buffer, 0);
  if (got < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) return;
  if (got == 0 && c.asked) {
    // Half-closed after its request: the answer still goes out.
    loop_->removeWatch(c.readWatch);
    c.readWatch = 0;
    return;
  }
  if (got <= 0 || c.asked) {
    // The client went away (or sent more than its one request): its answer goes nowhere.
    drop(id);
    return;
  }
  c.input.append(buffer, static_cast<size_t>(got));
  const size_t nl = c.input.find('\n');
  if (nl == std::string::npos) {
    if (c.input.size() > kMaxRequest) drop(id);
    return;
  }
  c.asked = true;
  std::vector<std::string> args;
  const auto request = nlohmann::json::parse(c.input.substr(0, nl), nullptr, false);
  bool valid = request.is_object() && request.contains("args") && request["args"].is_array();
  if (valid) {
    for (const auto& a : request["args"]) {
      if (!a.is_string()) valid = false;
      if (valid) args.push_back(a.get<std::string>());
    }
  }
  Reply reply = [this, id, alive = std::weak_ptr<bool>(alive_)](CommandResult result) {
    const auto live = alive.lock();
    if (!live || !*live) return;
    const auto it = clients_.find(id);
    if (it == clients_.end()) return;
    const nlohmann::json answer = {
        {"status", result.status}, {"out", result.out}, {"err", result.err}};
    it->second->output =
        answer.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
    // Written at once when the socket takes it, so that an answer to "quit" leaves before the
    // loop ends.
    writeTo(id);
  };
  if (!valid) {
    reply(CommandResult::fail("finder: the request is not {\"args\": [words]}", 64));
    return;
  }
  handler_(args, std::move(reply));
}

void CommandServer::writeTo(uint64_t id) {
  const auto it = clients_.find(id);
  if (it == clients_.end()) return;
  Client& c = *it->second;
  while (!c.output.empty()) {
    const ssize_t n = ::send(c.fd, c.output.data(), c.output.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!c.writeWatch) {
        c.writeWatch = loop_->addWatch(c.fd, POLLOUT, [this, id](short) { writeTo(id); });
      }
      return;
    }
    if (n <= 0) break;
    c.output.erase(0, static_cast<size_t>(n));
  }
  drop(id);
}

void CommandServer::drop(uint64_t id) {
  const auto it = clients_.find(id);
  if (it == clients_.end()) return;
  if (it->second->readWatch) loop_->removeWatch(it->second->readWatch);
  if (it->second->writeWatch) loop_->removeWatch(it->second->writeWatch);
  ::close(it->second->fd);
  clients_.erase(it);
}

}  // namespace pellora::finder
