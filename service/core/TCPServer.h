// The service's end of the extension connection: one listener thread on 127.0.0.1, one thread
// per client, the opening check, request hand-over and answers, and pushes to every client.
// No client can stop the listener or hold up another: every connection has a deadline for its
// opening message and the number of connections is capped; writes never block, each client
// has a queue of its own, and one that lets its queue grow past a bound is dropped.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ExtensionProtocol.h"
#include "core/ResponseHelperInterface.h"
#include "dispatch/Waker.h"
#include "log/Log.h"

struct TCPServerSettings {
  // A connection that has not sent its opening message by then is closed.
  std::chrono::milliseconds openingTimeout{5000};
  // Connections beyond these are closed as soon as they are accepted.
  size_t maxUnopenedClients = 16;
  size_t maxClients = 128;
  // Pushes waiting for one client; past this the client, which has stopped reading, is dropped.
  size_t maxQueuedBytes = size_t{16} << 20;
  // How long accepting pauses when the system has no descriptor or memory for a connection.
  std::chrono::milliseconds acceptPause{200};
  // Starts a client's thread in place of std::thread (tests make it fail).
  std::function<std::thread(std::function<void()>)> startThreadForTesting;
};

class TCPServer {
 public:
  // Request text that grows past this without a line break closes its connection.
  static constexpr size_t kMaxRequestBytes = pellora::protocol::kMaxFrameBytes;

  TCPServer(int port, ResponseHelperInterface& responder, const platform::log::Log& log,
            TCPServerSettings settings = {});
  ~TCPServer();
  TCPServer(const TCPServer&) = delete;
  TCPServer& operator=(const TCPServer&) = delete;

  // Binds and listens on 127.0.0.1:port now, so that the caller learns whether the port was
  // free before it tells anyone the port. Returns 0 or the errno of the failing call (EINVAL
  // for a port outside 1..65535).
  int bindListener();
  // Starts the listener thread (binding first when bindListener() was not called).
  void startTCPServer();
  // Appends CR LF to message and queues it for every client that has passed the opening
  // exchange. Never waits for a client. Callers may hold their own locks (taken before this
  // server's, never after).
  void notifyAllSockets(std::string& message);

  int port() const { return port_; }
  size_t clientCount() const;

 private:
  struct Client;
  enum class Admission { Admitted, Refused, Failed };

  void listenerThread();
  // Takes fd over: serves it, or closes it when over the caps or out of resources (why says
  // which resource).
  Admission admit(int fd, std::string& why);
  void socketThread(const std::shared_ptr<Client>& client);
  bool openClient(Client& client);
  // Writes what the client's queue holds without waiting; false when the connection failed.
  // Call with the client's lock held.
  bool flush(Client& client);
  // Closes the connection (logging why, when given) and wakes its thread. Call with the
  // client's lock held.
  void drop(Client& client, const char* why);
  void reapFinishedThreads();

  ResponseHelperInterface& responder_;
  int port_;
  const platform::log::Log& log_;
  const TCPServerSettings settings_;
  std::atomic<bool> running_{true};
  std::atomic<bool> stopping_{false};
  int listenFd_ = -1;
  std::unique_ptr<platform::dispatch::Waker> waker_;
  std::thread listener_;

  // Lock order: the owner's locks, then lock_, then a client's own lock.
  mutable std::mutex lock_;  // guards clients_, threads_, finished_
  std::map<int, std::shared_ptr<Client>> clients_;
  std::map<uint64_t, std::thread> threads_;
  std::vector<uint64_t> finished_;
  uint64_t nextThread_ = 0;
};
