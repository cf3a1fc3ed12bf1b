// A plain TCP client for tests: sends bytes, reads CR LF framed replies with a deadline.
#pragma once

#include <chrono>
#include <optional>
#include <string>

namespace pellora::testing {

class LineClient {
 public:
  // Connects to 127.0.0.1:port; connected() tells whether it worked.
  explicit LineClient(int port);
  ~LineClient();
  LineClient(const LineClient&) = delete;
  LineClient& operator=(const LineClient&) = delete;

  bool connected() const { return fd_ >= 0; }
  bool send(const std::string& bytes);
  // The next frame without its CR LF, or nothing on timeout or close.
  std::optional<std::string> readFrame(std::chrono::milliseconds timeout = std::chrono::seconds(5));
  // True when the peer closes the connection (after any unread data) before the timeout.
  bool waitClosed(std::chrono::milliseconds timeout = std::chrono::seconds(5));
  void close();
  // Closes with a reset, leaving no TIME_WAIT behind (for tests that open many connections).
  void abort();
  int fd() const { return fd_; }

 private:
  // Reads more bytes into buffer_; false on timeout, error or close.
  bool fill(std::chrono::steady_clock::time_point deadline);

  int fd_ = -1;
  bool peerClosed_ = false;
  std::string buffer_;
};

// A loopback port the kernel just handed out, so free for a server to bind.
int freeLoopbackPort();

}  // namespace pellora::testing
