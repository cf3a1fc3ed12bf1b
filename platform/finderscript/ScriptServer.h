// The scripted application's end of the scripting socket: a Unix stream socket in a folder
// only its user may enter (0700), the socket itself 0600, and every connection's peer checked
// against the allowed user id before a request is read. Each connection carries requests and
// answers (Protocol.h) for as long as the client keeps it. Requests are handed to the handler on
// the given run loop's thread, with the peer as the kernel describes it and a reply that may be
// called then or later, from any thread.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "dispatch/RunLoop.h"
#include "finderscript/Peer.h"

namespace platform::findersync {
class Channel;
}

namespace platform::finderscript {

class ScriptServer {
 public:
  // Sends one answer; true when it went out. A reply for a connection that has ended does
  // nothing.
  using Reply = std::function<bool(const nlohmann::json& answer)>;
  struct Handlers {
    // connection numbers the client's connection; peer is who made it.
    std::function<void(uint64_t connection, const Peer& peer, const nlohmann::json& request,
                       Reply reply)>
        request;
    // A connection ended (the client closed it or it broke).
    std::function<void(uint64_t connection)> closed;
  };
  struct Options {
    // Only this user's processes are served.
    uid_t allowedUid = ::geteuid();
  };

  ScriptServer(std::string socketPath, std::shared_ptr<dispatch::RunLoop> loop,
               Handlers handlers, Options options);
  ScriptServer(std::string socketPath, std::shared_ptr<dispatch::RunLoop> loop,
               Handlers handlers)
      : ScriptServer(std::move(socketPath), std::move(loop), std::move(handlers), Options{}) {}
  // As stop(). Call it on the loop's thread, or while the loop is not running.
  ~ScriptServer();
  ScriptServer(const ScriptServer&) = delete;
  ScriptServer& operator=(const ScriptServer&) = delete;

  // Makes the folder (0700, also when it exists), binds the socket (replacing a stale one,
  // refusing one that a live server answers on) and starts serving; false with the reason in
  // error. On the loop's thread.
  bool start(std::string& error);
  // Stops serving: closes every connection and removes the socket file. On the loop's thread.
  void stop();

  const std::string& socketPath() const { return socketPath_; }

 private:
  void accept();
  void dropConnection(uint64_t connection);

  const std::string socketPath_;
  const std::shared_ptr<dispatch::RunLoop> loop_;
  const Handlers handlers_;
  const Options options_;
  int listenFd_ = -1;
  dispatch::RunLoop::WatchId listenWatch_ = 0;
  std::map<uint64_t, std::shared_ptr<findersync::Channel>> connections_;
  uint64_t nextConnection_ = 1;
  // Work posted to the loop holds this weakly: none runs after stop().
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace platform::finderscript
