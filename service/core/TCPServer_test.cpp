#include "core/TCPServer.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <future>
#include <mutex>
#include <nlohmann/json.hpp>
#include <random>
#include <system_error>
#include <thread>

#include "LineClient.h"
#include "TempDir.h"
#include "Wait.h"
#include "core/ExtensionHelper.h"
#include "log/Capture.h"
#include "xattr/Xattr.h"

namespace {

using namespace std::chrono_literals;
using pellora::testing::LineClient;
using pellora::testing::waitUntil;

const std::string kKey = "{0F2C8D2E-3B7A-4C55-9E1D-6A7B8C9D0E1F}";

// Answers every hand-over with a frame that names how many hand-overs came before.
class FakeResponder : public ResponseHelperInterface {
 public:
  void analyzeInputAndGenerateOutput(const std::string& input, std::string& output) override {
    if (duringAnswer) duringAnswer(input);
    std::lock_guard guard(mutex);
    inputs.push_back(input);
    output = nlohmann::json({{"command", "answer"}, {"n", inputs.size()}}).dump();
  }
  void notifyOnReady() override {}
  bool verifyZavroSocket(const std::string& first) override { return first == kKey + "\n"; }
  std::string getFilterPaths() override {
    const std::string snapshot = filterPaths;
    if (duringOpening) duringOpening();
    return snapshot;
  }
  std::string getIcon() override { return icon; }

  std::vector<std::string> received() {
    std::lock_guard guard(mutex);
    return inputs;
  }

  std::mutex mutex;
  std::vector<std::string> inputs;
  std::string filterPaths = R"({"command":"setFilterPaths","value":["/mnt/share"]})";
  std::string icon = R"({"command":"registerIconWithId","value":{}})";
  // Runs after a new client's filter paths were read, before they are sent.
  std::function<void()> duringOpening;
  // Runs before each answer is made, on the thread that serves the connection.
  std::function<void(const std::string&)> duringAnswer;
};

int freePort() { return pellora::testing::freeLoopbackPort(); }

size_t openDescriptors() {
  size_t n = 0;
  DIR* d = ::opendir("/proc/self/fd");
  while (::readdir(d)) ++n;
  ::closedir(d);
  return n;
}

class TCPServerTest : public ::testing::Test {
 protected:
  void SetUp() override { startServer(); }

  // A new server on a new port with the fixture's settings.
  void startServer() {
    server.reset();
    port = freePort();
    server = std::make_unique<TCPServer>(port, responder, log, settings);
    ASSERT_EQ(server->bindListener(), 0);
    server->startTCPServer();
  }

  // A client that has passed the opening exchange.
  std::unique_ptr<LineClient> opened() {
    auto client = std::make_unique<LineClient>(port);
    EXPECT_TRUE(client->connected());
    client->send(kKey + "\n");
    EXPECT_EQ(client->readFrame(), responder.filterPaths);
    EXPECT_EQ(client->readFrame(), responder.icon);
    return client;
  }

  platform::log::Log log{"com.zavro.Pellora", "Shell"};
  FakeResponder responder;
  TCPServerSettings settings;
  int port = 0;
  std::unique_ptr<TCPServer> server;
};

TEST_F(TCPServerTest, OpeningExchangeSendsFilterPathsThenIcon) {
  auto client = opened();
  client->send(R"({"command":"getFileIconId","value":"/a"})"
               "\r\n");
  EXPECT_EQ(client->readFrame(), R"({"command":"answer","n":1})");
  EXPECT_EQ(responder.received().at(0), "{\"command\":\"getFileIconId\",\"value\":\"/a\"}\r\n");
}

TEST_F(TCPServerTest, EmptyOpeningFramesAreStillSent) {
  responder.filterPaths.clear();
  responder.icon.clear();
  LineClient client(port);
  client.send(kKey + "\n");
  EXPECT_EQ(client.readFrame(), "");
  EXPECT_EQ(client.readFrame(), "");
}

TEST_F(TCPServerTest, WrongKeyClosesThatConnectionOnlyAndOthersAreStillServed) {
  auto good = opened();
  platform::log::Capture capture;
  LineClient bad(port);
  bad.send("{00000000-0000-0000-0000-000000000000}\n");
  EXPECT_TRUE(bad.waitClosed());
  EXPECT_FALSE(bad.readFrame(100ms).has_value());  // nothing was sent before the close

  good->send("{\"command\":\"x\"}\r\n");
  EXPECT_EQ(good->readFrame(), R"({"command":"answer","n":1})");
  auto late = opened();  // the server still accepts new clients
  late->send("{\"command\":\"y\"}\n");
  EXPECT_EQ(late->readFrame(), R"({"command":"answer","n":2})");
}

TEST_F(TCPServerTest, OpeningTogetherWithARequestIsRejected) {
  LineClient client(port);
  client.send(kKey + "\n{\"command\":\"getFileIconId\",\"value\":\"/a\"}\r\n");
  EXPECT_TRUE(client.waitClosed());
  EXPECT_TRUE(responder.received().empty());
}

TEST_F(TCPServerTest, KeyWithoutLineFeedIsRejected) {
  LineClient client(port);
  client.send(kKey);
  EXPECT_TRUE(client.waitClosed());
}

TEST_F(TCPServerTest, RequestIsHandedOverOnlyOnceALineBreakArrives) {
  auto client = opened();
  const std::string path(5000, 'p');
  const std::string line = "{\"command\":\"getFileIconId\",\"value\":\"/" + path + "\"}";
  client->send(line);  // several 1023-byte reads, no line break yet
  client->send("\r\n");
  EXPECT_EQ(client->readFrame(), R"({"command":"answer","n":1})");
  const auto inputs = responder.received();
  ASSERT_EQ(inputs.size(), 1u);
  EXPECT_EQ(inputs[0], line + "\r\n");
}

TEST_F(TCPServerTest, TextAfterTheLastLineBreakWaitsForTheRest) {
  auto client = opened();
  client->send("{\"command\":\"a\"}\r\n{\"comm");
  EXPECT_TRUE(client->readFrame().has_value());
  EXPECT_EQ(responder.received().at(0), "{\"command\":\"a\"}\r\n");
  client->send("and\":\"b\"}\r\n");
  EXPECT_TRUE(client->readFrame().has_value());
  EXPECT_EQ(responder.received().at(1), "{\"command\":\"b\"}\r\n");
}

TEST_F(TCPServerTest, NulByteCutsTheRead) {
  auto client = opened();
  client->send(std::string("{\"command\":\"a\"}\r\n\0ignored", 25));
  EXPECT_TRUE(client->readFrame().has_value());
  EXPECT_EQ(responder.received().at(0), "{\"command\":\"a\"}\r\n");
}

TEST_F(TCPServerTest, OverlongRequestClosesTheConnectionWithAnError) {
  platform::log::Capture capture;
  auto client = opened();
  const std::string chunk(1 << 20, 'x');
  std::thread writer([&] {
    for (size_t sent = 0; sent <= TCPServer::kMaxRequestBytes; sent += chunk.size()) {
      if (!client->send(chunk)) break;  // the server closed the connection
    }
  });
  EXPECT_TRUE(capture.waitFor("without a line break; closing the connection", 60s));
  writer.join();
  EXPECT_TRUE(client->waitClosed());
  EXPECT_TRUE(responder.received().empty());
  auto other = opened();  // the server goes on
  EXPECT_TRUE(waitUntil([&] { return server->clientCount() == 1; }));
}

TEST_F(TCPServerTest, PushesReachEveryOpenedClientButNotUnopenedOnes) {
  auto a = opened();
  auto b = opened();
  LineClient unopened(port);
  ASSERT_TRUE(waitUntil([&] { return server->clientCount() == 3; }));
  std::string message = R"({"command":"setFileIcons","value":{"/f":"FileIconNone"}})";
  const std::string original = message;
  server->notifyAllSockets(message);
  EXPECT_EQ(message, original + "\r\n");  // the caller's text gains CR LF
  EXPECT_EQ(a->readFrame(), original);
  EXPECT_EQ(b->readFrame(), original);
  EXPECT_FALSE(unopened.readFrame(200ms).has_value());
}

TEST_F(TCPServerTest, SlowClientLosesNoFrames) {
  auto client = opened();
  const int frames = 3000;
  const std::string filler(1000, 'f');
  std::thread pusher([&] {
    for (int i = 0; i < frames; ++i) {
      std::string m = "{\"i\":" + std::to_string(i) + ",\"f\":\"" + filler + "\"}";
      server->notifyAllSockets(m);
    }
  });
  // Frames pile up in the socket buffers while the client does not read; then it reads all.
  for (int i = 0; i < frames; ++i) {
    const auto frame = client->readFrame(10s);
    ASSERT_TRUE(frame.has_value()) << i;
    ASSERT_EQ(nlohmann::json::parse(*frame)["i"], i);
  }
  pusher.join();
}

TEST_F(TCPServerTest, AnswersAndPushesNeverInterleave) {
  auto client = opened();
  std::vector<std::thread> pushers;
  const std::string big(20000, 'b');
  for (int t = 0; t < 3; ++t) {
    pushers.emplace_back([&, t] {
      for (int i = 0; i < 100; ++i) {
        std::string m = "{\"push\":" + std::to_string(t) + ",\"b\":\"" + big + "\"}";
        server->notifyAllSockets(m);
      }
    });
  }
  int pushes = 0;
  auto next = [&]() -> std::optional<nlohmann::json> {
    const auto frame = client->readFrame(10s);
    if (!frame) return std::nullopt;
    auto json = nlohmann::json::parse(*frame, nullptr, false);
    if (json.is_discarded()) ADD_FAILURE() << "torn frame: " << frame->substr(0, 80);
    return json;
  };
  for (int i = 0; i < 100; ++i) {
    ASSERT_TRUE(client->send("{\"command\":\"q\"}\r\n"));
    for (;;) {  // pushes may come before the answer
      const auto json = next();
      ASSERT_TRUE(json.has_value());
      if (!json->contains("push")) break;
      ++pushes;
    }
  }
  while (pushes < 300) {
    const auto json = next();
    ASSERT_TRUE(json.has_value());
    ASSERT_TRUE(json->contains("push"));
    ++pushes;
  }
  for (auto& t : pushers) t.join();
}

TEST_F(TCPServerTest, ClosedClientsAreRemovedAndLeaveNoDescriptors) {
  // Warm up so that lazily made descriptors (the log, the thread machinery) exist already.
  { LineClient warm(port); }
  ASSERT_TRUE(waitUntil([&] { return server->clientCount() == 0; }));
  const size_t before = openDescriptors();
  for (int i = 0; i < 1000; ++i) {
    LineClient client(port);
    ASSERT_TRUE(client.connected()) << i;
    if (i % 2) {
      client.send(kKey + "\n");
      client.close();
    } else {
      client.abort();  // a reset: no TIME_WAIT that a later connect could run into
    }
  }
  EXPECT_TRUE(waitUntil([&] { return server->clientCount() == 0; }, 20s));
  EXPECT_TRUE(waitUntil([&] { return openDescriptors() <= before; }, 20s))
      << openDescriptors() << " > " << before;
}

TEST_F(TCPServerTest, DestructorStopsPromptlyWithClientsConnected) {
  auto a = opened();
  auto b = opened();
  LineClient unopened(port);
  ASSERT_TRUE(waitUntil([&] { return server->clientCount() == 3; }));
  auto done = std::async(std::launch::async, [&] { server.reset(); });
  ASSERT_EQ(done.wait_for(5s), std::future_status::ready);
  EXPECT_TRUE(a->waitClosed());
  EXPECT_TRUE(unopened.waitClosed());
  LineClient after(port);
  EXPECT_FALSE(after.connected());  // the listener is closed
}

// Pushes of 100 kB each, on a thread of their own. With read, a push waits until the reader
// is at most a few frames behind, as a client that keeps up would be.
std::thread pushBigFrames(TCPServer& server, int frames, const std::atomic<int>* read = nullptr) {
  return std::thread([&server, frames, read] {
    const std::string filler(100000, 'z');
    for (int i = 0; i < frames; ++i) {
      if (read && !waitUntil([&] { return read->load() >= i - 4; }, 20s)) return;
      std::string m = "{\"i\":" + std::to_string(i) + ",\"f\":\"" + filler + "\"}";
      server.notifyAllSockets(m);
    }
  });
}

void readFramesInOrder(LineClient& client, int frames, std::atomic<int>* read = nullptr) {
  for (int i = 0; i < frames; ++i) {
    const auto frame = client.readFrame(20s);
    ASSERT_TRUE(frame.has_value()) << i;
    ASSERT_EQ(nlohmann::json::parse(*frame)["i"], i);
    if (read) *read = i + 1;
  }
}

TEST_F(TCPServerTest, ClientThatStopsReadingHoldsUpNobody) {
  settings.maxQueuedBytes = size_t{1} << 30;  // never dropped here
  startServer();
  auto stuck = opened();  // reads nothing until the end
  auto good = opened();
  const int frames = 200;  // 20 MB: far more than the stuck client's socket holds
  std::thread pusher = pushBigFrames(*server, frames);
  readFramesInOrder(*good, frames);
  pusher.join();
  // The other client got everything while the stuck one, still connected, read nothing.
  EXPECT_EQ(server->clientCount(), 2u);
  readFramesInOrder(*stuck, frames);  // and it loses nothing once it reads again
}

TEST_F(TCPServerTest, ClientWhosePushesPileUpIsDroppedAndOthersKeepGettingThem) {
  settings.maxQueuedBytes = 2 << 20;
  startServer();
  platform::log::Capture capture;
  auto stuck = opened();  // never reads again
  auto good = opened();
  const int frames = 200;
  std::atomic<int> read{0};
  std::thread pusher = pushBigFrames(*server, frames, &read);
  readFramesInOrder(*good, frames, &read);
  pusher.join();
  EXPECT_TRUE(waitUntil([&] { return server->clientCount() == 1; }));
  EXPECT_TRUE(capture.contains("A client stopped reading its pushes; closing its connection."));
  EXPECT_TRUE(stuck->waitClosed(20s));
}

TEST_F(TCPServerTest, PushBetweenTheOpeningFramesAndReadyReachesTheNewClient) {
  // The watch list changes after the new client's filter paths were read: the push that says
  // so must reach it, or it keeps the old list.
  const std::string change = R"({"command":"setFilterPaths","value":["/mnt/new"]})";
  responder.duringOpening = [&] {
    std::string m = change;
    server->notifyAllSockets(m);
  };
  auto client = opened();
  responder.duringOpening = nullptr;
  EXPECT_EQ(client->readFrame(), change);
}

TEST_F(TCPServerTest, ClientThreadThatCannotStartClosesOnlyItsConnection) {
  std::atomic<int> starts{0};
  settings.startThreadForTesting = [&](std::function<void()> body) {
    if (starts++ == 0) {
      throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again),
                              "no thread for you");
    }
    return std::thread(std::move(body));
  };
  startServer();
  platform::log::Capture capture;
  LineClient refused(port);
  ASSERT_TRUE(refused.connected());
  EXPECT_TRUE(refused.waitClosed());
  EXPECT_TRUE(capture.waitFor("no thread for you", 5s));
  auto client = opened();  // the listener goes on
  client->send("{\"command\":\"a\"}\r\n");
  EXPECT_EQ(client->readFrame(), R"({"command":"answer","n":1})");
  EXPECT_EQ(server->clientCount(), 1u);
}

TEST_F(TCPServerTest, ConnectionWithoutItsKeyIsClosedAfterTheOpeningTimeOut) {
  settings.openingTimeout = 300ms;
  startServer();
  platform::log::Capture capture;
  LineClient idle(port);
  auto good = opened();
  LineClient later(port);
  EXPECT_TRUE(idle.waitClosed());
  EXPECT_TRUE(later.waitClosed());  // by now the opened client is past its own deadline too
  EXPECT_TRUE(capture.contains("No opening message in time; closing the connection."));
  good->send("{\"command\":\"a\"}\r\n");
  EXPECT_EQ(good->readFrame(), R"({"command":"answer","n":1})");
}

TEST_F(TCPServerTest, ConnectionsOverTheCapsAreClosedAtOnce) {
  settings.maxUnopenedClients = 2;
  settings.maxClients = 3;
  startServer();
  platform::log::Capture capture;
  LineClient first(port), second(port);
  ASSERT_TRUE(waitUntil([&] { return server->clientCount() == 2; }));
  LineClient third(port), fourth(port);
  EXPECT_TRUE(third.waitClosed());  // a third connection without its key is too many
  EXPECT_TRUE(fourth.waitClosed());
  EXPECT_TRUE(capture.waitFor("Too many connections", 5s));
  EXPECT_EQ(capture.count("Too many connections"), 1u);  // one line for the burst
  first.send(kKey + "\n");
  ASSERT_TRUE(first.readFrame() && first.readFrame());
  auto fifth = opened();  // one unopened and two opened clients: within both caps
  LineClient sixth(port);
  EXPECT_TRUE(sixth.waitClosed());  // four clients are too many
  EXPECT_EQ(server->clientCount(), 3u);
  second.close();
  ASSERT_TRUE(waitUntil([&] { return server->clientCount() == 2; }));
  auto seventh = opened();
  seventh->send("{\"command\":\"a\"}\r\n");
  EXPECT_TRUE(seventh->readFrame().has_value());
}

TEST_F(TCPServerTest, HandOverHeldUpOnASlowShareHoldsUpNobodyElse) {
  settings.workers = 1;
  settings.stuckAfter = 50ms;
  settings.extraWorkerIdle = 200ms;
  startServer();
  std::mutex gate;
  std::unique_lock closed(gate);
  std::atomic<int> waiting{0};
  responder.duringAnswer = [&](const std::string& input) {
    if (input.find("slow") == std::string::npos) return;
    ++waiting;
    std::lock_guard passed(gate);  // until the test opens the gate
  };
  auto slow1 = opened();
  auto slow2 = opened();
  auto quick = opened();
  slow1->send("{\"command\":\"slow\"}\r\n");
  ASSERT_TRUE(waitUntil([&] { return waiting == 1; }));
  // The one worker is held up: another starts and serves the others, even when it is held up
  // too.
  quick->send("{\"command\":\"a\"}\r\n");
  EXPECT_TRUE(quick->readFrame(5s).has_value());
  slow2->send("{\"command\":\"slow\"}\r\n");
  ASSERT_TRUE(waitUntil([&] { return waiting == 2; }));
  quick->send("{\"command\":\"b\"}\r\n");
  EXPECT_TRUE(quick->readFrame(5s).has_value());
  EXPECT_EQ(server->workerCount(), 3u);
  closed.unlock();
  EXPECT_TRUE(slow1->readFrame().has_value());
  EXPECT_TRUE(slow2->readFrame().has_value());
  // The extra workers end once they idle; the connections stay served.
  EXPECT_TRUE(waitUntil([&] { return server->workerCount() == 1; }));
  for (auto* c : {slow1.get(), slow2.get(), quick.get()}) {
    c->send("{\"command\":\"c\"}\r\n");
    EXPECT_TRUE(c->readFrame().has_value());
  }
}

// Highest descriptor open in this process.
int highestDescriptor() {
  int highest = 0;
  DIR* d = ::opendir("/proc/self/fd");
  while (dirent* e = ::readdir(d)) highest = std::max(highest, std::atoi(e->d_name));
  ::closedir(d);
  return highest;
}

TEST_F(TCPServerTest, FullDescriptorTableIsLoggedOnceAndTheWaitingClientServedAfter) {
  platform::log::Capture capture;
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit tight = saved;
  tight.rlim_cur = static_cast<rlim_t>(highestDescriptor() + 16);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
  std::vector<int> filler;
  for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) filler.push_back(fd);
  ASSERT_EQ(errno, EMFILE);
  ::close(filler.back());  // room for the client's socket, none for the server's end
  filler.pop_back();
  LineClient client(port);
  const bool connected = client.connected();
  const bool logged = connected && capture.waitFor("Unable to accept socket.", 5s);
  // Accepting pauses instead of spinning on the waiting connection: one line for the burst.
  const bool spun = waitUntil([&] { return capture.count("Unable to") > 1; }, 500ms);
  for (const int fd : filler) ::close(fd);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);
  ASSERT_TRUE(connected);
  EXPECT_TRUE(logged);
  EXPECT_FALSE(spun) << capture.count("Unable to");
  client.send(kKey + "\n");
  EXPECT_EQ(client.readFrame(), responder.filterPaths);
}

// Serves hand-overs with the real request dispatch.
class DispatchingResponder : public FakeResponder {
 public:
  void analyzeInputAndGenerateOutput(const std::string& input, std::string& output) override {
    output = commandQueryText(input);
  }
};

TEST(TCPServer, RequestTextSplitAtAnyByteGivesTheSameBadges) {
  pellora::testing::TempDir dir;
  const std::string stub = dir.write("stub");
  const std::string plain = dir.write("plain");
  platform::xattr::set(stub, "is.zavro.stub", "ZAVRO", 5, 0, 0);
  const std::string text = nlohmann::json({{"command", "getFileIconId"}, {"value", stub}}).dump() +
                           "\r\n" +
                           nlohmann::json({{"command", "getFileIconId"}, {"value", plain}}).dump() +
                           "\r\n";
  const nlohmann::json expected = {{stub, "FileIconCache"}, {plain, "FileIconNone"}};

  platform::log::Log log("com.zavro.Pellora", "Shell");
  DispatchingResponder responder;
  const int port = freePort();
  TCPServer server(port, responder, log);
  ASSERT_EQ(server.bindListener(), 0);
  server.startTCPServer();
  LineClient client(port);
  client.send(kKey + "\n");
  ASSERT_TRUE(client.readFrame() && client.readFrame());

  auto merge = [&](nlohmann::json& into) {
    const auto frame = client.readFrame();
    ASSERT_TRUE(frame.has_value());
    const auto answer = nlohmann::json::parse(*frame);
    ASSERT_EQ(answer["command"], "setFileIcons");
    into.update(answer["value"]);
  };
  for (size_t cut = 1; cut < text.size(); ++cut) {
    SCOPED_TRACE(cut);
    const std::string first = text.substr(0, cut);
    nlohmann::json badges = nlohmann::json::object();
    client.send(first);
    // A first part with a line break is its own hand-over; wait for its answer so that the
    // second part cannot join it in one read.
    if (first.find_first_of("\r\n") != std::string::npos) merge(badges);
    client.send(text.substr(cut));
    merge(badges);
    EXPECT_EQ(badges, expected);
  }
}

TEST(TCPServer, BindReportsAPortInUse) {
  platform::log::Log log("com.zavro.Pellora", "Shell");
  FakeResponder responder;
  const int port = freePort();
  TCPServer first(port, responder, log);
  ASSERT_EQ(first.bindListener(), 0);
  platform::log::Capture capture;
  TCPServer second(port, responder, log);
  EXPECT_EQ(second.bindListener(), EADDRINUSE);
  EXPECT_TRUE(capture.contains("Unable to bind."));
}

TEST(TCPServer, PortOutsideTheRangeIsRefused) {
  platform::log::Log log("com.zavro.Pellora", "Shell");
  FakeResponder responder;
  // 65536 + 4464 would otherwise bind 4464 while its owner names 70000.
  for (const int port : {0, -1, 70000}) {
    TCPServer server(port, responder, log);
    EXPECT_EQ(server.bindListener(), EINVAL) << port;
  }
}

TEST(TCPServer, ListensOnLoopbackOnly) {
  ifaddrs* list = nullptr;
  ASSERT_EQ(::getifaddrs(&list), 0);
  std::optional<in_addr> external;
  for (ifaddrs* i = list; i; i = i->ifa_next) {
    if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET) continue;
    const auto addr = reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr;
    if ((ntohl(addr.s_addr) >> 24) != 127) external = addr;
  }
  ::freeifaddrs(list);
  if (!external) GTEST_SKIP() << "no non-loopback IPv4 address on this machine";
  platform::log::Log log("com.zavro.Pellora", "Shell");
  FakeResponder responder;
  const int port = freePort();
  TCPServer server(port, responder, log);
  ASSERT_EQ(server.bindListener(), 0);
  server.startTCPServer();
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr = *external;
  a.sin_port = htons(static_cast<uint16_t>(port));
  EXPECT_NE(::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ::close(fd);
  LineClient local(port);
  EXPECT_TRUE(local.connected());
}

}  // namespace
