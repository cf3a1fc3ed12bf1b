// The service's end of the extension connection: one listener thread on 127.0.0.1, one thread
// per client, the opening check, request hand-over and answers, and pushes to every client.
#pragma once

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/ResponseHelperInterface.h"
#include "log/Log.h"

class TCPServer {
 public:
  // Request text that grows past this without a line break closes its connection.
  static constexpr size_t kMaxRequestBytes = 64u << 20;

  TCPServer(int port, ResponseHelperInterface& responder, const platform::log::Log& log);
  ~TCPServer();
  TCPServer(const TCPServer&) = delete;
  TCPServer& operator=(const TCPServer&) = delete;

  // Binds and listens on 127.0.0.1:port now, so that the caller learns whether the port was
  // free before it tells anyone the port. Returns 0 or the errno of the failing call.
  int bindListener();
  // Starts the listener thread (binding first when bindListener() was not called).
  void startTCPServer();
  // Appends CR LF to message and writes it to every connected client.
  void notifyAllSockets(std::string& message);

  // A write that makes no progress for this long drops its client: a client that stops reading
  // must not hold up the pushes to everyone else for ever. Set before startTCPServer().
  void setSendTimeout(std::chrono::milliseconds timeout) { sendTimeout_ = timeout; }

  int port() const { return port_; }
  size_t clientCount() const;

 private:
  struct Client;

  void listenerThread();
  void socketThread(std::shared_ptr<Client> client);
  bool writeFrame(Client& client, const std::string& frame);
  void reapFinishedThreads();
  void wake();

  ResponseHelperInterface& responder_;
  int port_;
  const platform::log::Log& log_;
  std::atomic<bool> running_{true};
  std::atomic<bool> stopping_{false};
  std::chrono::milliseconds sendTimeout_{10000};
  int listenFd_ = -1;
  int wakeFd_ = -1;
  std::thread listener_;

  mutable std::mutex lock_;  // guards clients_, threads_, finished_
  std::map<int, std::shared_ptr<Client>> clients_;
  std::map<uint64_t, std::thread> threads_;
  std::vector<uint64_t> finished_;
  uint64_t nextThread_ = 0;
};
