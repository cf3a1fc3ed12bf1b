#include "GCDAsyncSocket.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netdb.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "Wait.h"

namespace {

using namespace std::chrono_literals;
using pellora::testing::waitUntil;

// Records every callback.
class Recorder : public GCDAsyncSocketDelegate {
 public:
  void socketDidConnectToHost(const std::shared_ptr<GCDAsyncSocket>&, const std::string& h,
                              uint16_t p) override {
    std::lock_guard g(mutex);
    host = h;
    port = p;
    ++connects;
  }
  void socketDidReadData(const std::shared_ptr<GCDAsyncSocket>&, const std::string& data,
                         long tag) override {
    std::lock_guard g(mutex);
    reads.push_back(data);
    tags.push_back(tag);
  }
  void socketDidDisconnect(const std::shared_ptr<GCDAsyncSocket>&,
                           const std::optional<SocketError>& e) override {
    std::lock_guard g(mutex);
    ++disconnects;
    error = e;
  }
  std::vector<std::string> readsSoFar() {
    std::lock_guard g(mutex);
    return reads;
  }
  std::mutex mutex;
  std::string host;
  uint16_t port = 0;
  int connects = 0, disconnects = 0;
  std::vector<std::string> reads;
  std::vector<long> tags;
  std::optional<SocketError> error;
};

// One listening socket on 127.0.0.1 and the server end of the accepted connection.
class Server {
 public:
  Server() {
    listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(listener, 4);
    socklen_t len = sizeof a;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
  }
  ~Server() {
    if (peer >= 0) ::close(peer);
    ::close(listener);
  }
  void accept() {
    peer = ::accept(listener, nullptr, nullptr);
    const int one = 1;
    ::setsockopt(peer, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  }
  void send(const std::string& s) { ASSERT_EQ(::send(peer, s.data(), s.size(), MSG_NOSIGNAL), static_cast<ssize_t>(s.size())); }
  std::string receive(size_t n) {
    std::string out;
    while (out.size() < n) {
      char buf[65536];
      const ssize_t got = ::recv(peer, buf, std::min(sizeof buf, n - out.size()), 0);
      if (got <= 0) break;
      out.append(buf, static_cast<size_t>(got));
    }
    return out;
  }
  void closePeer() {
    ::close(peer);
    peer = -1;
  }
  int listener = -1, peer = -1;
  uint16_t port = 0;
};

class SocketTest : public ::testing::Test {
 protected:
  std::shared_ptr<Recorder> delegate = std::make_shared<Recorder>();
  std::shared_ptr<platform::dispatch::Queue> queue = platform::dispatch::makeSerialQueue("test.delegate");
  std::shared_ptr<GCDAsyncSocket> socket = GCDAsyncSocket::create(delegate, queue);
  Server server;

  void connect() {
    SocketError error;
    ASSERT_TRUE(socket->connectToHost("localhost", server.port, &error)) << error.description;
    server.accept();
    ASSERT_TRUE(waitUntil([&] { std::lock_guard g(delegate->mutex); return delegate->connects == 1; }));
  }
};

TEST_F(SocketTest, LocalhostIsNotResolvedAndMeansIPv4Loopback) {
  std::atomic<int> calls{0};
  socket = GCDAsyncSocket::create(delegate, queue, [&](const std::string&) {
    ++calls;
    return GCDAsyncSocket::Addresses{{"127.0.0.1"}, {}, std::nullopt};
  });
  connect();
  EXPECT_EQ(calls, 0);
  std::lock_guard g(delegate->mutex);
  EXPECT_EQ(delegate->host, "127.0.0.1");
  EXPECT_EQ(delegate->port, server.port);
}

TEST_F(SocketTest, TwoFramesInOneSegmentNeedTwoReads) {
  connect();
  socket->readDataToData(GCDAsyncSocket::CRLFData(), -1, 7);
  server.send("{\"a\":1}\r\n{\"b\":2}\r\n");
  ASSERT_TRUE(waitUntil([&] { return delegate->readsSoFar().size() == 1; }));
  EXPECT_EQ(delegate->readsSoFar()[0], "{\"a\":1}\r\n");
  // The second frame waits in the pre-buffer until a read is queued for it.
  socket->readDataToData(GCDAsyncSocket::CRLFData(), -1, 8);
  ASSERT_TRUE(waitUntil([&] { return delegate->readsSoFar().size() == 2; }));
  EXPECT_EQ(delegate->readsSoFar()[1], "{\"b\":2}\r\n");
  std::lock_guard g(delegate->mutex);
  EXPECT_EQ(delegate->tags, (std::vector<long>{7, 8}));
}

TEST_F(SocketTest, SplitFrameAndSplitTerminatorAreDeliveredOnceWhole) {
  connect();
  socket->readDataToData("\r\n", -1, 0);
  server.send("{\"par");
  server.send("t\":1}\r");
  server.send("\n{\"next\"");
  ASSERT_TRUE(waitUntil([&] { return delegate->readsSoFar().size() == 1; }));
  EXPECT_EQ(delegate->readsSoFar()[0], "{\"part\":1}\r\n");
  socket->readDataToData("\r\n", -1, 0);
  server.send(":2}\r\n");
  ASSERT_TRUE(waitUntil([&] { return delegate->readsSoFar().size() == 2; }));
  EXPECT_EQ(delegate->readsSoFar()[1], "{\"next\":2}\r\n");
}

TEST_F(SocketTest, WritesBeforeConnectGoFirstAndWritesAfterCloseAreDropped) {
  SocketError error;
  ASSERT_TRUE(socket->connectToHost("localhost", server.port, &error));
  socket->writeData("{token}\n", 0);  // queued while connecting
  socket->writeData("second\r\n", 0);
  server.accept();
  EXPECT_EQ(server.receive(16), "{token}\nsecond\r\n");
  socket->disconnect();
  ASSERT_TRUE(waitUntil([&] { std::lock_guard g(delegate->mutex); return delegate->disconnects == 1; }));
  {
    std::lock_guard g(delegate->mutex);
    EXPECT_FALSE(delegate->error.has_value());  // an explicit disconnect carries no error
  }
  socket->writeData("dropped", 0);
  socket->readDataToData("\r\n", -1, 0);
  EXPECT_TRUE(socket->isDisconnected());
  EXPECT_EQ(server.receive(100), "");  // the peer sees the close, nothing more
}

TEST_F(SocketTest, LargeWritesArriveWholeAndInOrder) {
  connect();
  std::string big;
  for (int i = 0; i < 200000; ++i) big += std::to_string(i) + ",";
  socket->writeData(big, 0);
  socket->writeData("end\r\n", 0);
  EXPECT_EQ(server.receive(big.size() + 5), big + "end\r\n");
}

TEST_F(SocketTest, RefusedConnectionEndsInOneDisconnectWithAPosixError) {
  const uint16_t closedPort = server.port;
  ::close(server.listener);
  server.listener = ::socket(AF_INET, SOCK_STREAM, 0);  // keep the destructor happy
  SocketError error;
  ASSERT_TRUE(socket->connectToHost("localhost", closedPort, &error));
  ASSERT_TRUE(waitUntil([&] { std::lock_guard g(delegate->mutex); return delegate->disconnects == 1; }));
  std::lock_guard g(delegate->mutex);
  ASSERT_TRUE(delegate->error.has_value());
  EXPECT_EQ(delegate->error->domain, "NSPOSIXErrorDomain");
  EXPECT_EQ(delegate->error->code, ECONNREFUSED);
  EXPECT_EQ(delegate->connects, 0);
}

TEST_F(SocketTest, ConnectWhileConnectedIsRefusedAtOnce) {
  connect();
  SocketError error;
  EXPECT_FALSE(socket->connectToHost("localhost", server.port, &error));
  EXPECT_EQ(error.domain, "GCDAsyncSocketErrorDomain");
  EXPECT_EQ(error.code, GCDAsyncSocket::kBadConfigError);
  EXPECT_FALSE(socket->connectToHost("", server.port, &error));
  EXPECT_EQ(error.code, GCDAsyncSocket::kBadParamError);
}

TEST_F(SocketTest, PeerCloseServesCompleteFramesThenReportsTheClose) {
  connect();
  server.send("one\r\ntwo\r\npartial");
  server.closePeer();
  socket->readDataToData("\r\n", -1, 0);
  ASSERT_TRUE(waitUntil([&] { return delegate->readsSoFar().size() == 1; }));
  socket->readDataToData("\r\n", -1, 0);
  ASSERT_TRUE(waitUntil([&] { return delegate->readsSoFar().size() == 2; }));
  socket->readDataToData("\r\n", -1, 0);  // only "partial" is left: the socket closes
  ASSERT_TRUE(waitUntil([&] { std::lock_guard g(delegate->mutex); return delegate->disconnects == 1; }));
  std::lock_guard g(delegate->mutex);
  EXPECT_EQ(delegate->reads, (std::vector<std::string>{"one\r\n", "two\r\n"}));
  ASSERT_TRUE(delegate->error.has_value());
  EXPECT_EQ(delegate->error->code, GCDAsyncSocket::kClosedError);
  EXPECT_EQ(delegate->error->description, "Socket closed by remote peer");
}

TEST_F(SocketTest, SocketConnectsAgainAfterAClose) {
  connect();
  server.closePeer();
  socket->readDataToData("\r\n", -1, 0);
  ASSERT_TRUE(waitUntil([&] { std::lock_guard g(delegate->mutex); return delegate->disconnects == 1; }));
  SocketError error;
  ASSERT_TRUE(socket->connectToHost("localhost", server.port, &error));
  server.accept();
  ASSERT_TRUE(waitUntil([&] { std::lock_guard g(delegate->mutex); return delegate->connects == 2; }));
  socket->readDataToData("\r\n", -1, 0);
  server.send("again\r\n");
  ASSERT_TRUE(waitUntil([&] { return delegate->readsSoFar().size() == 1; }));
}

TEST_F(SocketTest, UnresolvableHostEndsInAResolverError) {
  socket = GCDAsyncSocket::create(delegate, queue, [](const std::string&) {
    GCDAsyncSocket::Addresses a;
    a.error = SocketError{"kCFStreamErrorDomainNetDB", EAI_NONAME, "unknown"};
    return a;
  });
  SocketError error;
  ASSERT_TRUE(socket->connectToHost("no.such.host", 80, &error));
  ASSERT_TRUE(waitUntil([&] {
    std::lock_guard g(delegate->mutex);
    return delegate->disconnects == 1;
  }));
  std::lock_guard g(delegate->mutex);
  EXPECT_EQ(delegate->error->domain, "kCFStreamErrorDomainNetDB");
}

TEST_F(SocketTest, ReadThatTimesOutClosesTheSocket) {
  connect();
  socket->readDataToData("\r\n", 0.2, 0);
  server.send("answered in time\r\n");
  ASSERT_TRUE(waitUntil([&] { return delegate->readsSoFar().size() == 1; }));
  // The time-out of a read that completed never fires; a read without one waits.
  socket->readDataToData("\r\n", -1, 0);
  EXPECT_FALSE(waitUntil(
      [&] {
        std::lock_guard g(delegate->mutex);
        return delegate->disconnects > 0;
      },
      600ms));
  server.send("late but fine\r\n");
  ASSERT_TRUE(waitUntil([&] { return delegate->readsSoFar().size() == 2; }));
  socket->readDataToData("\r\n", 0.1, 0);  // nothing comes for this one
  ASSERT_TRUE(waitUntil([&] {
    std::lock_guard g(delegate->mutex);
    return delegate->disconnects == 1;
  }));
  std::lock_guard g(delegate->mutex);
  ASSERT_TRUE(delegate->error.has_value());
  EXPECT_EQ(delegate->error->code, GCDAsyncSocket::kReadTimeoutError);
  EXPECT_EQ(delegate->error->description, "Read operation timed out");
}

TEST_F(SocketTest, ReadPastItsMaximumLengthClosesTheSocket) {
  connect();
  const std::string exact = std::string(98, 'e') + "\r\n";
  socket->readDataToData("\r\n", -1, 0, 100);
  server.send(exact);
  ASSERT_TRUE(waitUntil([&] { return delegate->readsSoFar().size() == 1; }));
  EXPECT_EQ(delegate->readsSoFar()[0], exact);  // a frame of exactly the maximum passes
  socket->readDataToData("\r\n", -1, 0, 100);
  server.send(std::string(99, 'x') + "\r\n");  // one byte more does not
  ASSERT_TRUE(waitUntil([&] {
    std::lock_guard g(delegate->mutex);
    return delegate->disconnects == 1;
  }));
  std::lock_guard g(delegate->mutex);
  EXPECT_EQ(delegate->reads.size(), 1u);
  ASSERT_TRUE(delegate->error.has_value());
  EXPECT_EQ(delegate->error->code, GCDAsyncSocket::kReadMaxedOutError);
}

TEST_F(SocketTest, BytesNobodyReadsStayInTheSocket) {
  connect();
  // The peer sends far more than anyone asked for; the socket takes it only as reads come.
  const int one = 1;
  ::setsockopt(server.peer, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  const timeval stall{0, 300000};
  ::setsockopt(server.peer, SOL_SOCKET, SO_SNDTIMEO, &stall, sizeof stall);
  const std::string frame = std::string(1022, 'f') + "\r\n";
  std::string stream;
  for (int i = 0; i < 32 * 1024; ++i) stream += frame;  // 32 MiB
  size_t sent = 0;
  for (;;) {
    const ssize_t n = ::send(server.peer, stream.data() + sent, stream.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) break;  // the time-out: nobody takes more
    sent += static_cast<size_t>(n);
    if (sent == stream.size()) break;
  }
  EXPECT_LT(sent, stream.size() / 2);
  // Reads get the frames, whole and in order.
  for (int i = 0; i < 3; ++i) socket->readDataToData("\r\n", -1, 0);
  ASSERT_TRUE(waitUntil([&] { return delegate->readsSoFar().size() == 3; }));
  EXPECT_EQ(delegate->readsSoFar()[2], frame);
}

TEST_F(SocketTest, CallbacksRunOnTheDelegateQueue) {
  std::atomic<bool> onQueue{false};
  class QueueCheck : public GCDAsyncSocketDelegate {
   public:
    QueueCheck(std::shared_ptr<platform::dispatch::Queue> q, std::atomic<bool>& f) : q(q), f(f) {}
    void socketDidConnectToHost(const std::shared_ptr<GCDAsyncSocket>&, const std::string&, uint16_t) override {
      f = q->isCurrent();
    }
    std::shared_ptr<platform::dispatch::Queue> q;
    std::atomic<bool>& f;
  };
  auto check = std::make_shared<QueueCheck>(queue, onQueue);
  auto s = GCDAsyncSocket::create(check, queue);
  SocketError error;
  ASSERT_TRUE(s->connectToHost("localhost", server.port, &error));
  server.accept();
  EXPECT_TRUE(waitUntil([&] { return onQueue.load(); }));
}

}  // namespace
