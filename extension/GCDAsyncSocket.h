// An asynchronous TCP client on dispatch queues: connect to a host name and port, reads that
// complete at a terminator (with a maximum length and a time-out), queued writes, and
// callbacks on the delegate's queue. All socket state lives on a private serial queue; the
// object can connect again after a close.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ExtensionProtocol.h"
#include "dispatch/FdSource.h"
#include "dispatch/Queue.h"

struct SocketError {
  std::string domain;  // "GCDAsyncSocketErrorDomain", "NSPOSIXErrorDomain" or "kCFStreamErrorDomainNetDB"
  int code = 0;
  std::string description;
};

class GCDAsyncSocket;

class GCDAsyncSocketDelegate {
 public:
  virtual ~GCDAsyncSocketDelegate() = default;
  virtual void socketDidConnectToHost(const std::shared_ptr<GCDAsyncSocket>& /*socket*/,
                                      const std::string& /*host*/, uint16_t /*port*/) {}
  virtual void socketDidReadData(const std::shared_ptr<GCDAsyncSocket>& /*socket*/,
                                 const std::string& /*data*/, long /*tag*/) {}
  virtual void socketDidDisconnect(const std::shared_ptr<GCDAsyncSocket>& /*socket*/,
                                   const std::optional<SocketError>& /*error*/) {}
};

class GCDAsyncSocket : public std::enable_shared_from_this<GCDAsyncSocket> {
 public:
  enum ErrorCode {
    kBadConfigError = 1,
    kBadParamError = 2,
    kConnectTimeoutError = 3,
    kReadTimeoutError = 4,
    kWriteTimeoutError = 5,
    kReadMaxedOutError = 6,
    kClosedError = 7,
    kOtherError = 8,
  };
  static constexpr const char* kErrorDomain = "GCDAsyncSocketErrorDomain";

  // What a resolver finds for a name other than "localhost" and "loopback": IPv4 texts and
  // IPv6 texts.
  struct Addresses {
    std::vector<std::string> v4, v6;
    std::optional<SocketError> error;
  };
  using Resolver = std::function<Addresses(const std::string& host)>;

  // resolverForTesting replaces the system resolver.
  static std::shared_ptr<GCDAsyncSocket> create(
      std::weak_ptr<GCDAsyncSocketDelegate> delegate,
      std::shared_ptr<platform::dispatch::Queue> delegateQueue, Resolver resolverForTesting = {});
  ~GCDAsyncSocket();

  // Starts connecting; false (with error) when refused at once.
  bool connectToHost(const std::string& host, uint16_t port, SocketError* error);
  // Queues a read that completes with the bytes up to and including terminator. A negative
  // timeout (seconds, counted from when the read becomes the current one) means none; a read
  // that times out or would pass maxLength (0: no limit) closes the socket with an error.
  void readDataToData(const std::string& terminator, double timeout, long tag,
                      size_t maxLength = 0);
  // Queues data for sending, in order; written without a time-out (nothing needs one).
  void writeData(const std::string& data, long tag);
  void disconnect();
  bool isConnected();
  bool isDisconnected();

  void setIPv4Enabled(bool enabled);
  void setIPv6Enabled(bool enabled);
  void setIPv6Preferred(bool preferred);

  static std::string CRLFData() { return std::string(pellora::protocol::kFrameEnd); }

 private:
  struct ReadPacket {
    std::string terminator;
    size_t maxLength = 0;
    double timeout = -1;
    long tag = 0;
    uint64_t id = 0;
    bool timing = false;  // its time-out runs
    size_t scanned = 0;   // the pre-buffer holds no terminator before this
  };
  struct WritePacket {
    std::string data;
    size_t done = 0;
    long tag = 0;
  };

  GCDAsyncSocket(std::weak_ptr<GCDAsyncSocketDelegate> delegate,
                 std::shared_ptr<platform::dispatch::Queue> delegateQueue, Resolver resolver);

  // Socket queue only.
  void lookupDone(uint64_t index, const Addresses& addresses, uint16_t port);
  void connectDone(uint64_t index, int fd, int error, const std::string& host, uint16_t port);
  void didConnect(int fd, const std::string& host, uint16_t port);
  void doReadData();
  void readTimedOut(uint64_t index, uint64_t packet);
  void setReading(bool reading);
  void doWriteData();
  void closeWithError(std::optional<SocketError> error);
  void post(std::function<void(GCDAsyncSocketDelegate&, const std::shared_ptr<GCDAsyncSocket>&)> call);

  std::weak_ptr<GCDAsyncSocketDelegate> delegate_;
  std::shared_ptr<platform::dispatch::Queue> delegateQueue_;
  std::shared_ptr<platform::dispatch::Queue> socketQueue_;
  const Resolver resolver_;

  bool started_ = false;
  bool connected_ = false;
  bool forbidReadsWrites_ = false;
  bool readEof_ = false;
  bool ipv4Enabled_ = true;
  bool ipv6Enabled_ = true;
  bool ipv6Preferred_ = false;
  uint64_t connectionIndex_ = 0;
  uint64_t nextPacket_ = 0;
  int fd_ = -1;
  int connectingFd_ = -1;
  std::deque<ReadPacket> readQueue_;
  std::deque<WritePacket> writeQueue_;
  std::string preBuffer_;
  std::unique_ptr<platform::dispatch::FdSource> readSource_;
  std::unique_ptr<platform::dispatch::FdSource> writeSource_;
};
