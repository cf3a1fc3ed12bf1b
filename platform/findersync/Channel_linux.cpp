#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>

#include "dispatch/FdSource.h"
#include "dispatch/Queue.h"
#include "findersync/Channel.h"
#include "findersync/Protocol.h"
#include "log/Log.h"

namespace platform::findersync {
namespace {

const log::Log& channelLog() {
  static const log::Log log("platform", "findersync");
  return log;
}

// A peer that takes nothing for this long is treated as hung.
constexpr time_t kSendTimeoutSeconds = 10;

}  // namespace

struct Channel::State {
  int fd = -1;
  Post post;
  Handlers handlers;
  std::unique_ptr<dispatch::FdSource> source;
  std::shared_ptr<dispatch::Queue> readQueue;
  std::mutex writeMutex;
  std::atomic<bool> open{true};
  bool broken = false;  // under writeMutex: a send failed, nothing more goes out
  // Set when the closed handler has been posted, so that it is posted once.
  std::atomic<bool> closePosted{false};
  std::string input;  // read queue only

  ~State() {
    if (source) source->cancel();
    if (fd >= 0) ::close(fd);
  }

  // Deliveries check the flag where they run: a close() in between wins.
  void deliver(nlohmann::json message, const std::shared_ptr<State>& self) {
    post([self, message = std::move(message)] {
      if (self->open && self->handlers.message) self->handlers.message(message);
    });
  }

  void finish(const std::shared_ptr<State>& self) {
    if (closePosted.exchange(true)) return;
    if (source) source->cancel();
    post([self] {
      if (!self->open.exchange(false)) return;
      if (self->handlers.closed) self->handlers.closed();
    });
  }

  void shutdownSocket() { ::shutdown(fd, SHUT_RDWR); }

  // Takes what is readable and hands each complete line on.
  void read(const std::shared_ptr<State>& self) {
    char buffer[65536];
    for (;;) {
      const ssize_t got = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
      if (got <= 0) {
        finish(self);
        return;
      }
      auto received = message::receive(input, std::string_view(buffer, static_cast<size_t>(got)),
                                       kMaxLine);
      for (size_t i = 0; i < received.dropped; ++i) {
        channelLog().error("Dropping a message that is not a JSON object");
      }
      for (auto& m : received.messages) deliver(std::move(m), self);
      if (received.overlong) {
        channelLog().error("Closing the connection: a message is longer than the limit");
        shutdownSocket();
        finish(self);
        return;
      }
    }
  }
};

Channel::Channel(int fd, Post post, Handlers handlers) : state_(std::make_shared<State>()) {
  state_->fd = fd;
  state_->post = std::move(post);
  state_->handlers = std::move(handlers);
  timeval tv{kSendTimeoutSeconds, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  state_->readQueue = dispatch::makeSerialQueue("findersync.channel.read");
  std::weak_ptr<State> weak = state_;
  state_->source = std::make_unique<dispatch::FdSource>(fd, dispatch::FdSource::Kind::Read,
                                                        state_->readQueue, [weak] {
                                                          if (auto state = weak.lock())
                                                            state->read(state);
                                                        });
  state_->source->resume();
}

Channel::~Channel() { close(); }

bool Channel::send(const nlohmann::json& message) { return sendLine(message::encode(message)); }

bool Channel::sendLine(const std::string& line) {
  const std::string data = line + "\n";
  std::lock_guard lock(state_->writeMutex);
  if (!state_->open || state_->broken) return false;
  size_t off = 0;
  while (off < data.size()) {
    const ssize_t n = ::send(state_->fd, data.data() + off, data.size() - off, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      // A part of a message may have gone out: the stream cannot carry another one.
      channelLog().errorf(
          "Closing the connection: send failed (%s)",
          n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) ? "peer not reading" : "peer gone");
      state_->broken = true;
      state_->shutdownSocket();
      return false;
    }
    off += static_cast<size_t>(n);
  }
  return true;
}

void Channel::close() {
  if (!state_->open.exchange(false)) return;
  state_->shutdownSocket();
  if (state_->source) state_->source->cancel();
}

bool Channel::isOpen() const { return state_->open; }

}  // namespace platform::findersync
