// One end of a socket that carries one JSON object per line, for tests that play either side
// of the Finder-extension connection: sends whole messages, reads them with deadlines.
#pragma once

#include <chrono>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace pellora::testing {

class MessageSocket {
 public:
  // Takes fd.
  explicit MessageSocket(int fd) : fd_(fd) {}
  ~MessageSocket();
  MessageSocket(const MessageSocket&) = delete;
  MessageSocket& operator=(const MessageSocket&) = delete;

  // Makes a connected pair; the other end is returned in peer (the caller owns it).
  static MessageSocket pair(int& peer);

  bool send(const nlohmann::json& message);
  // The next message; null when none comes before the timeout or the other end closed.
  // A line that is not JSON comes as the string "unparsable".
  nlohmann::json next(std::chrono::milliseconds timeout = std::chrono::seconds(5));
  // The next message whose "op" is op; the others before it are dropped.
  nlohmann::json nextOp(const std::string& op,
                        std::chrono::milliseconds timeout = std::chrono::seconds(5));
  // Every message that arrives within quiet of the previous one (or of the call).
  std::vector<nlohmann::json> drain(std::chrono::milliseconds quiet);
  // True when the other end closes before the timeout (messages still unread are dropped).
  bool waitEnd(std::chrono::milliseconds timeout = std::chrono::seconds(5));
  void close();
  int fd() const { return fd_; }

  MessageSocket(MessageSocket&& other) noexcept
      : fd_(other.fd_), buffer_(std::move(other.buffer_)) {
    other.fd_ = -1;
  }

 private:
  // Reads more into buffer_ until the deadline; false on timeout or end.
  bool fill(std::chrono::steady_clock::time_point deadline);

  int fd_ = -1;
  std::string buffer_;
};

}  // namespace pellora::testing
