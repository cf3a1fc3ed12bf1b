#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <nlohmann/json.hpp>

#include "CommandClient.h"

namespace pellora::finder {
namespace {

// EX_UNAVAILABLE: no daemon, or it did not answer.
constexpr int kUnavailable = 69;

}  // namespace

CommandResult sendCommand(const std::string& socketPath, const std::vector<std::string>& args,
                          std::chrono::milliseconds timeout) {
  const auto fail = [&](const std::string& why) {
    return CommandResult::fail("finder: " + why, kUnavailable);
  };
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (socketPath.size() >= sizeof addr.sun_path) return fail(socketPath + ": path too long");
  std::memcpy(addr.sun_path, socketPath.c_str(), socketPath.size() + 1);
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return fail(std::string("socket: ") + std::strerror(errno));
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    const std::string why = std::strerror(errno);
    ::close(fd);
    return fail("no Finder is running on " + socketPath + " (" + why + ")");
  }
  const std::string request = nlohmann::json{{"args", args}}.dump(
                                  -1, ' ', false, nlohmann::json::error_handler_t::replace) +
                              "\n";
  for (size_t off = 0; off < request.size();) {
    const ssize_t n = ::send(fd, request.data() + off, request.size() - off, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ::close(fd);
      return fail(std::string("send: ") + std::strerror(errno));
    }
    off += static_cast<size_t>(n);
  }
  std::string reply;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (const size_t nl = reply.find('\n'); nl != std::string::npos) {
      reply.resize(nl);
      break;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    pollfd p{fd, POLLIN, 0};
    const int ready = left > 0 ? ::poll(&p, 1, static_cast<int>(left)) : 0;
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) {
      ::close(fd);
      return fail("Finder did not answer in time");
    }
    char buffer[65536];
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ::close(fd);
      return fail("Finder closed the connection without an answer");
    }
    reply.append(buffer, static_cast<size_t>(n));
  }
  ::close(fd);
  const auto answer = nlohmann::json::parse(reply, nullptr, false);
  if (!answer.is_object() || !answer.contains("status") || !answer["status"].is_number_integer()) {
    return fail("Finder's answer is not understood");
  }
  CommandResult result;
  result.status = answer["status"].get<int>();
  if (answer.contains("out") && answer["out"].is_string()) result.out = answer["out"];
  if (answer.contains("err") && answer["err"].is_string()) result.err = answer["err"];
  return result;
}

}  // namespace pellora::finder
