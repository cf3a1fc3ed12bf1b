#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "finderscript/Connection.h"
#include "log/Log.h"

namespace platform::finderscript {
namespace {

using Clock = std::chrono::steady_clock;

const log::Log& scriptingLog() {
  static const log::Log log("platform", "finderscript");
  return log;
}

// An answer longer than this is no answer of a scripting target.
constexpr size_t kMaxAnswer = 1 << 20;

Connection::Answer failure(int code, std::string why) { return {code, std::move(why), nullptr}; }

// Milliseconds left until deadline for poll(): -1 without a deadline, 0 once it has passed.
int pollTimeout(const std::optional<Clock::time_point>& deadline) {
  if (!deadline) return -1;
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(*deadline - Clock::now()).count();
  if (left <= 0) return 0;
  return left > INT32_MAX ? INT32_MAX : static_cast<int>(left);
}

}  // namespace

Connection::Connection(std::string socketPath) : socketPath_(std::move(socketPath)) {}

Connection::~Connection() { disconnect(); }

void Connection::setTimeout(std::chrono::milliseconds timeout) {
  std::lock_guard lock(mutex_);
  timeout_ = timeout;
}

std::chrono::milliseconds Connection::timeout() const {
  std::lock_guard lock(mutex_);
  return timeout_;
}

Connection::Answer Connection::get(const nlohmann::json& object, const std::string& property) {
  return call(message::get(0, object, property), "get " + property + " of " + message::encode(object),
              timeout());
}

Connection::Answer Connection::set(const nlohmann::json& object, const std::string& property,
                                   const nlohmann::json& value) {
  return call(message::set(0, object, property, value),
              "set " + property + " of " + message::encode(object) + " to " +
                  message::encode(value),
              timeout());
}

Connection::Answer Connection::consent(const std::string& target, const std::string& eventClass,
                                       const std::string& eventID, bool ask,
                                       std::optional<std::chrono::milliseconds> timeout) {
  return call(message::consent(0, target, eventClass, eventID, ask),
              std::string(ask ? "ask for" : "check") + " consent to control " + target, timeout);
}

Connection::Answer Connection::call(const nlohmann::json& request, const std::string& what,
                                    std::optional<std::chrono::milliseconds> timeout) {
  std::lock_guard lock(mutex_);
  const uint64_t id = nextId_++;
  nlohmann::json numbered = request;
  numbered["id"] = id;
  std::optional<Clock::time_point> deadline;
  if (timeout) deadline = Clock::now() + *timeout;
  Answer answer = exchange(numbered, id, deadline);
  if (!answer.ok()) {
    scriptingLog().errorf("Scripting %s: %s failed: %s (%d)", socketPath_.c_str(), what.c_str(),
                          answer.message.c_str(), answer.code);
  }
  return answer;
}

Connection::Answer Connection::exchange(const nlohmann::json& request, uint64_t id,
                                        std::optional<Clock::time_point> deadline) {
  std::string why;
  if (fd_ >= 0) {
    // A connection the application closed since the last call (it ended, or was started
    // again) is no reason for this call to fail.
    pollfd p{fd_, POLLRDHUP, 0};
    if (::poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR))) disconnect();
  }
  if (fd_ < 0 && !connect(why)) return failure(procNotFound, why);
  const std::string line = message::encode(request) + "\n";
  for (size_t off = 0; off < line.size();) {
    const ssize_t n = ::send(fd_, line.data() + off, line.size() - off, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd p{fd_, POLLOUT, 0};
      const int ready = ::poll(&p, 1, pollTimeout(deadline));
      if (ready < 0 && errno == EINTR) continue;
      if (ready == 0) {
        disconnect();
        return failure(errAETimeout, "the application did not take the request in time");
      }
      continue;
    }
    if (n <= 0) {
      why = std::strerror(errno);
      disconnect();
      return failure(connectionInvalid, "the connection broke: " + why);
    }
    off += static_cast<size_t>(n);
  }
  for (;;) {
    for (size_t nl; (nl = input_.find('\n')) != std::string::npos;) {
      const auto answer = nlohmann::json::parse(input_.substr(0, nl), nullptr, false);
      input_.erase(0, nl + 1);
      // Answers to requests given up on never reach a fresh connection; anything else is not
      // ours to take.
      if (message::id(answer) != id) continue;
      if (const auto code = message::integer(answer, "error")) {
        return failure(*code == noErr ? errAEEventFailed : *code, message::text(answer, "message"));
      }
      if (!answer.contains("result")) {
        return failure(errAEEventFailed, "the answer has neither a result nor an error");
      }
      return {noErr, {}, answer["result"]};
    }
    if (input_.size() > kMaxAnswer) {
      disconnect();
      return failure(errAEEventFailed, "the answer is too long");
    }
    pollfd p{fd_, POLLIN, 0};
    const int ready = ::poll(&p, 1, pollTimeout(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready == 0) {
      disconnect();
      return failure(errAETimeout, "no answer in time");
    }
    char buffer[16384];
    const ssize_t got = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
    if (got < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    if (got <= 0) {
      disconnect();
      return failure(connectionInvalid, "the application closed the connection");
    }
    input_.append(buffer, static_cast<size_t>(got));
  }
}

bool Connection::connect(std::string& why) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (socketPath_.size() >= sizeof addr.sun_path) {
    why = "the socket path is too long";
    return false;
  }
  std::memcpy(addr.sun_path, socketPath_.c_str(), socketPath_.size() + 1);
  // Non-blocking, so that an application that stopped accepting cannot hold the caller.
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    why = std::string("socket: ") + std::strerror(errno);
    return false;
  }
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    why = "the application is not running (" + std::string(std::strerror(errno)) + ")";
    ::close(fd);
    return false;
  }
  fd_ = fd;
  input_.clear();
  return true;
}

void Connection::disconnect() {
  if (fd_ < 0) return;
  ::close(fd_);
  fd_ = -1;
  input_.clear();
}

}  // namespace platform::finderscript
