#include "GCDAsyncSocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "TerminatedRead.h"

namespace {

// Bytes taken from the socket ahead of the reads that will want them.
constexpr size_t kReadAheadBytes = 256 * 1024;

SocketError posixError(int err, const char* reason) {
  return SocketError{"NSPOSIXErrorDomain", err, std::string(reason) + ": " + std::strerror(err)};
}

SocketError socketError(int code, const std::string& text) {
  return SocketError{GCDAsyncSocket::kErrorDomain, code, text};
}

GCDAsyncSocket::Addresses systemResolve(const std::string& host) {
  GCDAsyncSocket::Addresses out;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  addrinfo* list = nullptr;
  const int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &list);
  if (rc != 0) {
    out.error = SocketError{"kCFStreamErrorDomainNetDB", rc, ::gai_strerror(rc)};
    return out;
  }
  for (addrinfo* a = list; a; a = a->ai_next) {
    char text[INET6_ADDRSTRLEN] = {};
    if (a->ai_family == AF_INET) {
      ::inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(a->ai_addr)->sin_addr, text, sizeof text);
      out.v4.push_back(text);
    } else if (a->ai_family == AF_INET6) {
      ::inet_ntop(AF_INET6, &reinterpret_cast<sockaddr_in6*>(a->ai_addr)->sin6_addr, text, sizeof text);
      out.v6.push_back(text);
    }
  }
  ::freeaddrinfo(list);
  return out;
}

}  // namespace

std::shared_ptr<GCDAsyncSocket> GCDAsyncSocket::create(
    std::weak_ptr<GCDAsyncSocketDelegate> delegate,
    std::shared_ptr<platform::dispatch::Queue> delegateQueue, Resolver resolverForTesting) {
  return std::shared_ptr<GCDAsyncSocket>(new GCDAsyncSocket(
      std::move(delegate), std::move(delegateQueue), std::move(resolverForTesting)));
}

GCDAsyncSocket::GCDAsyncSocket(std::weak_ptr<GCDAsyncSocketDelegate> delegate,
                               std::shared_ptr<platform::dispatch::Queue> delegateQueue,
                               Resolver resolver)
    : delegate_(std::move(delegate)),
      delegateQueue_(std::move(delegateQueue)),
      socketQueue_(platform::dispatch::makeSerialQueue("GCDAsyncSocket")),
      resolver_(resolver ? std::move(resolver) : Resolver(systemResolve)) {
  preBuffer_.reserve(4096);
}

GCDAsyncSocket::~GCDAsyncSocket() {
  // Work queued on the socket queue holds the socket alive, so nothing else runs now.
  readSource_.reset();
  writeSource_.reset();
  if (fd_ >= 0) ::close(fd_);
  if (connectingFd_ >= 0) ::shutdown(connectingFd_, SHUT_RDWR);
}

void GCDAsyncSocket::post(
    std::function<void(GCDAsyncSocketDelegate&, const std::shared_ptr<GCDAsyncSocket>&)> call) {
  if (!delegateQueue_) return;
  delegateQueue_->async([self = shared_from_this(), delegate = delegate_, call = std::move(call)] {
    if (auto d = delegate.lock()) call(*d, self);
  });
}

bool GCDAsyncSocket::connectToHost(const std::string& host, uint16_t port, SocketError* error) {
  std::optional<SocketError> refused;
  uint64_t index = 0;
  socketQueue_->sync([&] {
    if (host.empty()) {
      refused = socketError(kBadParamError, "Invalid host parameter (nil or \"\"). Should be a domain name or IP address string.");
    } else if (delegate_.expired()) {
      refused = socketError(kBadConfigError, "Attempting to connect without a delegate. Set a delegate first.");
    } else if (!delegateQueue_) {
      refused = socketError(kBadConfigError, "Attempting to connect without a delegate queue. Set a delegate queue first.");
    } else if (started_) {
      refused = socketError(kBadConfigError, "Attempting to connect while connected or accepting connections. Disconnect first.");
    } else if (!ipv4Enabled_ && !ipv6Enabled_) {
      refused = socketError(kBadConfigError, "Both IPv4 and IPv6 have been disabled. Must enable at least one protocol first.");
    }
    if (refused) return;
    started_ = true;
    index = connectionIndex_;
  });
  if (refused) {
    if (error) *error = *refused;
    return false;
  }
  auto self = shared_from_this();
  platform::dispatch::globalQueue(platform::dispatch::QoS::Background)->async([self, host, port, index] {
    Addresses addresses;
    // The loopback names never reach the resolver.
    if (host == "localhost" || host == "loopback") {
      addresses.v4.push_back("127.0.0.1");
      addresses.v6.push_back("::1");
    } else {
      addresses = self->resolver_(host);
    }
    self->socketQueue_->async([self, addresses, port, index] { self->lookupDone(index, addresses, port); });
  });
  return true;
}

void GCDAsyncSocket::lookupDone(uint64_t index, const Addresses& addresses, uint16_t port) {
  if (index != connectionIndex_) return;
  if (addresses.error) {
    closeWithError(addresses.error);
    return;
  }
  const std::string* v4 = ipv4Enabled_ && !addresses.v4.empty() ? &addresses.v4.front() : nullptr;
  const std::string* v6 = ipv6Enabled_ && !addresses.v6.empty() ? &addresses.v6.front() : nullptr;
  const bool useV6 = v6 && (!v4 || ipv6Preferred_);
  if (!v4 && !v6) {
    closeWithError(socketError(kOtherError, "Unable to find a usable address for the host"));
    return;
  }
  const std::string host = useV6 ? *v6 : *v4;
  const int fd = ::socket(useV6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    closeWithError(posixError(errno, "Error in socket() function"));
    return;
  }
  connectingFd_ = fd;
  auto self = shared_from_this();
  platform::dispatch::globalQueue(platform::dispatch::QoS::Background)->async([self, fd, useV6, host, port, index] {
    int rc;
    if (useV6) {
      sockaddr_in6 a{};
      a.sin6_family = AF_INET6;
      a.sin6_port = htons(port);
      ::inet_pton(AF_INET6, host.c_str(), &a.sin6_addr);
      rc = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    } else {
      sockaddr_in a{};
      a.sin_family = AF_INET;
      a.sin_port = htons(port);
      ::inet_pton(AF_INET, host.c_str(), &a.sin_addr);
      rc = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    }
    const int err = rc == 0 ? 0 : errno;
    self->socketQueue_->async([self, index, fd, err, host, port] { self->connectDone(index, fd, err, host, port); });
  });
}

void GCDAsyncSocket::connectDone(uint64_t index, int fd, int error, const std::string& host,
                                 uint16_t port) {
  if (connectingFd_ == fd) connectingFd_ = -1;
  if (index != connectionIndex_) {
    // Closed while connecting: this attempt no longer counts.
    ::close(fd);
    return;
  }
  if (error != 0) {
    ::close(fd);
    closeWithError(posixError(error, "Error in connect() function"));
    return;
  }
  didConnect(fd, host, port);
}

void GCDAsyncSocket::didConnect(int fd, const std::string& host, uint16_t port) {
  fd_ = fd;
  connected_ = true;
  post([host, port](GCDAsyncSocketDelegate& d, const std::shared_ptr<GCDAsyncSocket>& s) {
    d.socketDidConnectToHost(s, host, port);
  });
  const int flags = ::fcntl(fd_, F_GETFL);
  if (flags < 0 || ::fcntl(fd_, F_SETFL, flags | O_NONBLOCK) < 0) {
    closeWithError(socketError(kOtherError, "Error enabling non-blocking IO on socket (fcntl)"));
    return;
  }
  doReadData();
  doWriteData();
}

void GCDAsyncSocket::readDataToData(const std::string& terminator, double timeout, long tag,
                                    size_t maxLength) {
  if (terminator.empty() || (maxLength > 0 && maxLength < terminator.size())) return;
  auto self = shared_from_this();
  socketQueue_->async([self, terminator, timeout, tag, maxLength] {
    if (!self->started_ || self->forbidReadsWrites_) return;
    ReadPacket packet{terminator, maxLength, timeout, tag, self->nextPacket_++};
    self->readQueue_.push_back(std::move(packet));
    self->doReadData();
  });
}

void GCDAsyncSocket::setReading(bool reading) {
  if (!reading || readEof_) {
    if (readSource_) readSource_->cancel();
    readSource_.reset();
    return;
  }
  if (readSource_) return;
  std::weak_ptr<GCDAsyncSocket> weak = shared_from_this();
  readSource_ = std::make_unique<platform::dispatch::FdSource>(
      fd_, platform::dispatch::FdSource::Kind::Read, socketQueue_, [weak] {
        if (auto s = weak.lock()) s->doReadData();
      });
  readSource_->resume();
}

void GCDAsyncSocket::doReadData() {
  if (!connected_ || fd_ < 0) return;
  for (;;) {
    // Serve the queued reads from what was received so far.
    while (!readQueue_.empty()) {
      ReadPacket& packet = readQueue_.front();
      if (!packet.timing && packet.timeout >= 0) {
        packet.timing = true;
        std::weak_ptr<GCDAsyncSocket> weak = shared_from_this();
        const auto delay = std::chrono::duration_cast<platform::dispatch::Clock::duration>(
            std::chrono::duration<double>(packet.timeout));
        socketQueue_->asyncAfter(delay, [weak, index = connectionIndex_, id = packet.id] {
          if (auto s = weak.lock()) s->readTimedOut(index, id);
        });
      }
      const TerminatedRead scan =
          scanTerminatedRead(preBuffer_, packet.terminator, packet.maxLength, packet.scanned);
      if (scan.status == TerminatedRead::Status::MaxedOut) {
        closeWithError(
            socketError(kReadMaxedOutError, "Read operation reached set maximum length"));
        return;
      }
      if (scan.status == TerminatedRead::Status::NeedMore) {
        packet.scanned = scan.resumeAt;
        break;
      }
      std::string data = preBuffer_.substr(0, scan.length);
      preBuffer_.erase(0, scan.length);
      const long tag = packet.tag;
      readQueue_.pop_front();
      post([data = std::move(data), tag](GCDAsyncSocketDelegate& d,
                                         const std::shared_ptr<GCDAsyncSocket>& s) {
        d.socketDidReadData(s, data, tag);
      });
    }
    // At the end of the stream, the pre-buffer still serves complete frames; what is left is an
    // incomplete frame or nothing, and the socket closes.
    if (readEof_) {
      if (!readQueue_.empty() || preBuffer_.empty()) {
        closeWithError(socketError(kClosedError, "Socket closed by remote peer"));
      }
      return;
    }
    // While no read waits, bytes are taken ahead only up to a bound; the rest stays in the
    // socket until a read is queued, so a peer cannot fill this process's memory.
    if (readQueue_.empty() && preBuffer_.size() >= kReadAheadBytes) {
      setReading(false);
      return;
    }
    char chunk[16384];
    const ssize_t n = ::recv(fd_, chunk, sizeof chunk, MSG_DONTWAIT);
    if (n > 0) {
      preBuffer_.append(chunk, static_cast<size_t>(n));
      continue;
    }
    if (n == 0) {
      readEof_ = true;
      setReading(false);
      continue;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      setReading(true);
      return;
    }
    closeWithError(posixError(errno, "Error in read() function"));
    return;
  }
}

void GCDAsyncSocket::readTimedOut(uint64_t index, uint64_t packet) {
  if (index != connectionIndex_ || readQueue_.empty() || readQueue_.front().id != packet) return;
  closeWithError(socketError(kReadTimeoutError, "Read operation timed out"));
}

void GCDAsyncSocket::writeData(const std::string& data, long tag) {
  if (data.empty()) return;
  auto self = shared_from_this();
  socketQueue_->async([self, data, tag] {
    if (!self->started_ || self->forbidReadsWrites_) return;
    self->writeQueue_.push_back(WritePacket{data, 0, tag});
    self->doWriteData();
  });
}

void GCDAsyncSocket::doWriteData() {
  if (!connected_ || fd_ < 0) return;
  while (!writeQueue_.empty()) {
    WritePacket& packet = writeQueue_.front();
    const ssize_t n = ::send(fd_, packet.data.data() + packet.done, packet.data.size() - packet.done,
                             MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (writeSource_) return;
      // Resume when the socket has room again; the source goes once it has fired.
      std::weak_ptr<GCDAsyncSocket> weak = shared_from_this();
      writeSource_ = std::make_unique<platform::dispatch::FdSource>(
          fd_, platform::dispatch::FdSource::Kind::Write, socketQueue_, [weak] {
            auto s = weak.lock();
            if (!s || !s->writeSource_) return;
            s->writeSource_->cancel();
            s->socketQueue_->async([s] {
              s->writeSource_.reset();
              s->doWriteData();
            });
          });
      writeSource_->resume();
      return;
    }
    if (n < 0) {
      closeWithError(posixError(errno, "Error in write() function"));
      return;
    }
    packet.done += static_cast<size_t>(n);
    if (packet.done == packet.data.size()) writeQueue_.pop_front();
  }
}

void GCDAsyncSocket::closeWithError(std::optional<SocketError> error) {
  readQueue_.clear();
  writeQueue_.clear();
  preBuffer_.clear();
  if (readSource_) readSource_->cancel();
  if (writeSource_) writeSource_->cancel();
  readSource_.reset();
  writeSource_.reset();
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  // A connect still running on another thread gives up; its result is then ignored.
  if (connectingFd_ >= 0) ::shutdown(connectingFd_, SHUT_RDWR);
  const bool wasStarted = started_;
  started_ = connected_ = forbidReadsWrites_ = readEof_ = false;
  ++connectionIndex_;
  if (!wasStarted) return;
  post([error](GCDAsyncSocketDelegate& d, const std::shared_ptr<GCDAsyncSocket>& s) {
    d.socketDidDisconnect(s, error);
  });
}

void GCDAsyncSocket::disconnect() {
  auto self = shared_from_this();
  socketQueue_->sync([self] {
    if (self->started_) self->closeWithError(std::nullopt);
  });
}

bool GCDAsyncSocket::isConnected() {
  bool connected = false;
  socketQueue_->sync([&] { connected = connected_; });
  return connected;
}

bool GCDAsyncSocket::isDisconnected() {
  bool disconnected = false;
  socketQueue_->sync([&] { disconnected = !started_; });
  return disconnected;
}

void GCDAsyncSocket::setIPv4Enabled(bool enabled) {
  socketQueue_->sync([&] { ipv4Enabled_ = enabled; });
}

void GCDAsyncSocket::setIPv6Enabled(bool enabled) {
  socketQueue_->sync([&] { ipv6Enabled_ = enabled; });
}

void GCDAsyncSocket::setIPv6Preferred(bool preferred) {
  socketQueue_->sync([&] { ipv6Preferred_ = preferred; });
}
