// An asynchronous TCP client on dispatch queues: connect to a host name and port, reads that
// complete at a terminator, queued writes, and callbacks on the delegate's queue. All socket
// state lives on a private serial queue; the object can connect again after a close.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

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

  // The system resolver for names other than "localhost" and "loopback": IPv4 texts and IPv6
  // texts. Replaceable for tests.
  struct Addresses {
    std::vector<std::string> v4, v6;
    std::optional<SocketError> error;
  };
  static std::function<Addresses(const std::string& host)>& resolver();

  static std::shared_ptr<GCDAsyncSocket> create(std::weak_ptr<GCDAsyncSocketDelegate> delegate,
                                                std::shared_ptr<platform::dispatch::Queue> delegateQueue);
  ~GCDAsyncSocket();

  // Starts connecting; false (with error) when refused at once.
  bool connectToHost(const std::string& host, uint16_t port, SocketError* error);
  void readDataToData(const std::string& terminator, double timeout, long tag,
                      size_t maxLength = 0);
  void writeData(const std::string& data, double timeout, long tag);
  void disconnect();
  bool isConnected();
  bool isDisconnected();

  void setIPv4Enabled(bool enabled);
  void setIPv6Enabled(bool enabled);
  void setIPv6Preferred(bool preferred);

  static std::string CRLFData() { return "\r\n"; }

 private:
  struct ReadPacket {
    std::string terminator;
    size_t maxLength = 0;
    long tag = 0;
  };
  struct WritePacket {
    std::string data;
    size_t done = 0;
    long tag = 0;
  };

  GCDAsyncSocket(std::weak_ptr<GCDAsyncSocketDelegate> delegate,
                 std::shared_ptr<platform::dispatch::Queue> delegateQueue);

  // Socket queue only.
  void lookupDone(uint64_t index, const Addresses& addresses, uint16_t port);
  void connectDone(uint64_t index, int fd, int error, const std::string& host, uint16_t port);
  void didConnect(int fd, const std::string& host, uint16_t port);
  void doReadData();
  void doWriteData();
  void closeWithError(std::optional<SocketError> error);
  void post(std::function<void(GCDAsyncSocketDelegate&, const std::shared_ptr<GCDAsyncSocket>&)> call);

  std::weak_ptr<GCDAsyncSocketDelegate> delegate_;
  std::shared_ptr<platform::dispatch::Queue> delegateQueue_;
  std::shared_ptr<platform::dispatch::Queue> socketQueue_;

  bool started_ = false;
  bool connected_ = false;
  bool forbidReadsWrites_ = false;
  bool readEof_ = false;
  bool ipv4Enabled_ = true;
  bool ipv6Enabled_ = true;
  bool ipv6Preferred_ = false;
  uint64_t connectionIndex_ = 0;
  int fd_ = -1;
  int connectingFd_ = -1;
  std::deque<ReadPacket> readQueue_;
  std::deque<WritePacket> writeQueue_;
  std::string preBuffer_;
  std::unique_ptr<platform::dispatch::FdSource> readSource_;
  std::unique_ptr<platform::dispatch::FdSource> writeSource_;
};
