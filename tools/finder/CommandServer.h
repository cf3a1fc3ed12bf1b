// The daemon's control socket: a Unix stream socket; each connection carries one request line
// {"args": [...]} and gets one answer line {"status": N, "out": "...", "err": "..."}, after
// which the daemon closes it. Answers may come later than the request (a menu waits for the
// extensions). Served on the main run loop.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "CommandResult.h"
#include "dispatch/RunLoop.h"

namespace pellora::finder {

class CommandServer {
 public:
  using Reply = std::function<void(CommandResult result)>;
  // Gets the words of the request and answers through reply, at once or later, exactly once.
  using Handler = std::function<void(const std::vector<std::string>& args, Reply reply)>;

  CommandServer(std::string socketPath, Handler handler);
  ~CommandServer();
  CommandServer(const CommandServer&) = delete;
  CommandServer& operator=(const CommandServer&) = delete;

  // Binds the socket (replacing a stale one, refusing one a live daemon answers on) and starts
  // serving; false with the reason in error.
  bool start(std::string& error);
  // Stops serving, drops every connection and removes the socket file.
  void stop();

 private:
  struct Client;

  void accept();
  void readFrom(uint64_t id);
  void writeTo(uint64_t id);
  void drop(uint64_t id);

  const std::string socketPath_;
  const Handler handler_;
  std::shared_ptr<platform::dispatch::RunLoop> loop_;
  int listenFd_ = -1;
  platform::dispatch::RunLoop::WatchId listenWatch_ = 0;
  std::map<uint64_t, std::unique_ptr<Client>> clients_;
  uint64_t nextId_ = 1;
  // Replies hold this weakly: one that comes after stop() (or the server's end) goes nowhere.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace pellora::finder
