#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "finderscript/Protocol.h"
#include "finderscript/ScriptServer.h"
#include "findersync/Channel.h"
#include "log/Log.h"

namespace platform::finderscript {
namespace {

const log::Log& serverLog() {
  static const log::Log log("platform", "finderscript");
  return log;
}

bool fillAddress(const std::string& path, sockaddr_un& addr) {
  addr = {};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) return false;
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  return true;
}

// True when something accepts connections on path.
bool answering(const sockaddr_un& addr) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const bool ok = ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
  ::close(fd);
  return ok;
}

}  // namespace

ScriptServer::ScriptServer(std::string socketPath, std::shared_ptr<dispatch::RunLoop> loop,
                           Handlers handlers, Options options)
    : socketPath_(std::move(socketPath)),
      loop_(std::move(loop)),
      handlers_(std::move(handlers)),
      options_(options) {}

ScriptServer::~ScriptServer() { stop(); }

bool ScriptServer::start(std::string& error) {
  sockaddr_un addr;
  if (!fillAddress(socketPath_, addr)) {
    error = socketPath_ + ": path too long for a socket";
    return false;
  }
  const auto folder = std::filesystem::path(socketPath_).parent_path();
  std::error_code ec;
  if (!folder.empty()) std::filesystem::create_directories(folder, ec);
  // Only the user may reach the socket, whatever the folder's mode was.
  if (!folder.empty() && ::chmod(folder.c_str(), 0700) != 0) {
    error = folder.string() + ": " + std::strerror(errno);
    return false;
  }
  if (answering(addr)) {
    error = "a scripting target already runs on " + socketPath_;
    return false;
  }
  listenFd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (listenFd_ < 0) {
    error = std::string("socket: ") + std::strerror(errno);
    return false;
  }
  ::unlink(socketPath_.c_str());
  if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::chmod(socketPath_.c_str(), 0600) != 0 || ::listen(listenFd_, 64) != 0) {
    error = socketPath_ + ": " + std::strerror(errno);
    ::close(listenFd_);
    listenFd_ = -1;
    return false;
  }
  *alive_ = true;
  listenWatch_ = loop_->addWatch(listenFd_, POLLIN, [this](short) { accept(); });
  return true;
}

void ScriptServer::stop() {
  *alive_ = false;
  if (listenFd_ < 0) return;
  loop_->removeWatch(listenWatch_);
  ::close(listenFd_);
  listenFd_ = -1;
  ::unlink(socketPath_.c_str());
  auto connections = std::move(connections_);
  connections_.clear();
  for (auto& [id, channel] : connections) channel->close();
}

void ScriptServer::accept() {
  for (;;) {
    // Blocking sockets: the channel sends with a time-out of its own and reads without waiting.
    const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR) continue;
      return;
    }
    const auto peer = peerOf(fd);
    if (!peer || peer->uid != options_.allowedUid) {
      serverLog().errorf("Refusing a scripting connection from uid %ld (pid %ld)",
                         peer ? static_cast<long>(peer->uid) : -1L,
                         peer ? static_cast<long>(peer->pid) : -1L);
      ::close(fd);
      continue;
    }
    const uint64_t id = nextConnection_++;
    std::weak_ptr<bool> alive = alive_;
    const auto loop = loop_;
    findersync::Channel::Post post = [loop, alive](dispatch::Work work) {
      loop->perform([alive, work = std::move(work)] {
        const auto live = alive.lock();
        if (live && *live) work();
      });
    };
    // The handlers run through post: on the loop, and only while this server serves.
    auto channelSlot = std::make_shared<std::weak_ptr<findersync::Channel>>();
    findersync::Channel::Handlers handlers;
    handlers.message = [this, id, peer = *peer, channelSlot](const nlohmann::json& request) {
      Reply reply = [channel = *channelSlot](const nlohmann::json& answer) {
        const auto live = channel.lock();
        return live && live->send(answer);
      };
      if (!message::id(request) || message::text(request, "op").empty()) {
        reply(message::error(message::id(request).value_or(0), errAEEventFailed,
                             "the request is not understood"));
        return;
      }
      if (handlers_.request) handlers_.request(id, peer, request, std::move(reply));
    };
    handlers.closed = [this, id] { dropConnection(id); };
    auto channel = std::make_shared<findersync::Channel>(fd, std::move(post), std::move(handlers));
    *channelSlot = channel;
    connections_[id] = std::move(channel);
  }
}

void ScriptServer::dropConnection(uint64_t connection) {
  const auto it = connections_.find(connection);
  if (it == connections_.end()) return;
  const auto channel = std::move(it->second);
  connections_.erase(it);
  channel->close();
  if (handlers_.closed) handlers_.closed(connection);
}

}  // namespace platform::finderscript
