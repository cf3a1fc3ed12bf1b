// The service's end of the extension connection: one listener thread on 127.0.0.1, a few
// worker threads that serve every connection (the opening check, request hand-over and
// answers), and pushes to every client.
// No client can stop the listener or hold up another: every connection has a deadline for its
// opening message and the number of connections is capped; writes never block, each client
// has a queue of its own, and one that lets its queue grow past a bound is dropped. Workers take
// connections in turn as they become ready, one worker per connection at a time; while every
// worker has been held up for a while (a hand-over waiting on a slow share), another starts.
//
// Workers rather than a thread per client: on a machine with few processors, many clients
// asking at once made many threads wake for every request, and the requests' latency followed
// the scheduler's.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
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
  // Workers kept while none is held up; 0 for one per processor, at least 2.
  size_t workers = 0;
  // When every worker has been on one connection this long, another worker starts (up to one
  // per connection); one of those extra workers ends after idling this long.
  std::chrono::milliseconds stuckAfter{50};
  std::chrono::milliseconds extraWorkerIdle{10000};
  // Starts a worker thread in place of std::thread (tests make it fail).
  std::function<std::thread(std::function<void()>)> startThreadForTesting;
};

class TCPServer {
  using Clock = std::chrono::steady_clock;

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
  // Clients that passed the opening exchange and are still connected; the responder hears of
  // every change (connectionsChanged).
  size_t connectedCount() const { return connectedCount_; }
  // The threads that serve connections now, extra ones included.
  size_t workerCount() const { return workerCount_; }

 private:
  struct Client;
  struct Worker;
  enum class Admission { Admitted, Refused, Failed };

  void listenerThread();
  // Takes fd over: serves it, or closes it when over the caps or out of resources (why says
  // which resource).
  Admission admit(int fd, std::string& why);
  // Call with lock_ held. False, with why, when the thread cannot be made.
  bool startWorker(std::string& why);
  void workerThread(Worker& self);
  // One turn of a worker on a client that epoll reported with events.
  void serve(const std::shared_ptr<Client>& client, uint32_t events);
  // Reads and answers what the client sent, a turn's worth; false when the connection ends.
  bool receive(Client& client, uint32_t events);
  bool openClient(Client& client);
  // Writes what the client's queue holds without waiting; false when the connection failed.
  // Call with the client's lock held.
  bool flush(Client& client);
  // Has epoll report the client again, for reading and, with frames waiting, for writing. Call
  // with the client's lock held, while no worker serves it.
  bool watch(Client& client);
  // Closes the connection (logging why, when given); a worker then removes the client. Call
  // with the client's lock held.
  void drop(Client& client, const char* why);
  void remove(const std::shared_ptr<Client>& client);
  // Closes connections past their opening deadline; returns the next deadline.
  Clock::time_point closeLateOpenings();
  // While every worker is busy: starts another when all have been held up; stops looking once
  // some worker is free again.
  void superviseWorkers();
  void reapFinishedThreads();

  ResponseHelperInterface& responder_;
  int port_;
  const platform::log::Log& log_;
  const TCPServerSettings settings_;
  std::atomic<bool> running_{true};
  std::atomic<bool> stopping_{false};
  const size_t baseWorkers_;
  int listenFd_ = -1;
  int epollFd_ = -1;
  // Wakes the listener: a worker ended, or every worker is busy.
  std::unique_ptr<platform::dispatch::Waker> waker_;
  // In the epoll set; once woken, every worker sees it and ends.
  std::unique_ptr<platform::dispatch::Waker> stopWorkers_;
  std::thread listener_;
  std::atomic<size_t> busy_{0};
  std::atomic<bool> supervising_{false};

  // Lock order: the owner's locks, then lock_, then a client's own lock.
  mutable std::mutex lock_;  // guards clients_, workers_, finished_, workerCount_ writes
  std::map<int, std::shared_ptr<Client>> clients_;
  std::map<uint64_t, std::shared_ptr<Worker>> workers_;
  std::atomic<size_t> workerCount_{0};  // workers not ending
  std::atomic<size_t> clientTotal_{0};  // clients_.size(), for readers without lock_
  std::atomic<size_t> connectedCount_{0};  // written under lock_
  std::vector<uint64_t> finished_;
  uint64_t nextWorker_ = 0;
};
