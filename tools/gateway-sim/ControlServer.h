// A Unix stream socket that takes one command per line and writes one answer line back, for
// any number of clients at once. Served by one thread; stopped with an eventfd and joined.
#pragma once

#include <functional>
#include <string>
#include <thread>

namespace pellora::gatewaysim {

class ControlServer {
 public:
  using Handler = std::function<std::string(const std::string& line)>;

  ControlServer(std::string socketPath, Handler handler);
  ~ControlServer();
  ControlServer(const ControlServer&) = delete;
  ControlServer& operator=(const ControlServer&) = delete;

  // Binds the socket (replacing a stale one) and starts serving; 0 or an errno.
  int start();
  // Stops serving, closes every connection and removes the socket file.
  void stop();

 private:
  void serve();

  const std::string socketPath_;
  const Handler handler_;
  int listenFd_ = -1;
  int wakeFd_ = -1;
  std::thread thread_;
};

}  // namespace pellora::gatewaysim
