// The request client against a real service core in this process, with Finder replaced by a
// recorder: connection and reconnection, the commands the service sends, badges and
// network-access reports.
#include "RequestManager.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <thread>

#include "LineClient.h"
#include "PortFile.h"
#include "TempDir.h"
#include "core/ShellExtentionController.h"
#include "dispatch/RunLoop.h"
#include "log/Capture.h"
#include "xattr/Xattr.h"

namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using pellora::testing::TempDir;
using platform::dispatch::RunLoop;

class RecordingFinder : public FinderSyncTarget {
 public:
  void setBadgeImage(const std::string& path, const std::string& label,
                     const std::string& identifier) override {
    std::lock_guard g(mutex);
    images.push_back({path, label, identifier});
  }
  void setBadgeIdentifier(const std::string& identifier, const std::string& url) override {
    std::lock_guard g(mutex);
    badges[url] = identifier;
  }
  std::set<std::string> directoryURLs() override {
    std::lock_guard g(mutex);
    return directories;
  }
  void setDirectoryURLs(const std::set<std::string>& urls) override {
    std::lock_guard g(mutex);
    directories = urls;
    history.push_back(urls);
  }
  std::string badge(const std::string& url) {
    std::lock_guard g(mutex);
    const auto it = badges.find(url);
    return it == badges.end() ? "(none)" : it->second;
  }
  std::mutex mutex;
  std::vector<BadgeRecord> images;
  std::map<std::string, std::string> badges;
  std::set<std::string> directories;
  std::vector<std::set<std::string>> history;
};

// Answers the extension's requests and records them.
class RecordingService : public ResponseHelperInterface {
 public:
  void analyzeInputAndGenerateOutput(const std::string& input, std::string& output) override {
    std::lock_guard g(mutex);
    requests += input;
    output = R"({"command":"setFileIcons","value":{}})";
  }
  void notifyOnReady() override {}
  bool verifyZavroSocket(const std::string& first) override {
    std::lock_guard g(mutex);
    opening = first;
    return first == key + "\n";
  }
  std::string getFilterPaths() override { return filter; }
  std::string getIcon() override { return icon; }
  std::string received() {
    std::lock_guard g(mutex);
    return requests;
  }
  std::mutex mutex;
  std::string key = "{11111111-2222-3333-4444-555555555555}";
  std::string opening, requests, filter, icon;
};

class RequestManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("PELLORA_USER_DB_HOME", home.path().c_str(), 1);
    manager = RequestManager::create(finder, {.retry = 50ms});
  }
  void TearDown() override {
    server.reset();
    ::unsetenv("PELLORA_USER_DB_HOME");
  }

  void startService(int port) {
    server = std::make_unique<TCPServer>(port, service, log);
    ASSERT_EQ(server->bindListener(), 0);
    server->startTCPServer();
    ASSERT_EQ(PortFile(home.path()).write(port, service.key), PortFile::WriteResult::Written);
  }

  bool serve(const std::function<bool()>& done, std::chrono::milliseconds timeout = 5s) {
    return RunLoop::main()->runUntil(done, timeout);
  }

  static int freePort() { return pellora::testing::freeLoopbackPort(); }

  TempDir home;
  RecordingFinder finder;
  RecordingService service;
  platform::log::Log log{"com.zavro.Pellora", "Shell"};
  std::unique_ptr<TCPServer> server;
  std::shared_ptr<RequestManager> manager;
};

TEST_F(RequestManagerTest, WaitsForThePortFileThenSendsTheKeyFirst) {
  manager->connect();
  // Nothing to connect to yet; once the service writes its file, the next retry connects.
  EXPECT_FALSE(serve([&] { return manager->isConnected(); }, 200ms));
  const int port = freePort();
  startService(port);
  ASSERT_TRUE(serve([&] { return manager->isConnected(); }));
  std::lock_guard g(service.mutex);
  EXPECT_EQ(service.opening, service.key + "\n");
}

TEST_F(RequestManagerTest, PortFileWithoutAKeyOrAPortIsNotReady) {
  home.write(".zavroPellora/port", "0,{key}\n");
  manager->connect();
  EXPECT_FALSE(serve([&] { return manager->isConnected(); }, 200ms));
  home.write(".zavroPellora/port", std::to_string(freePort()) + "\n");
  EXPECT_FALSE(serve([&] { return manager->isConnected(); }, 200ms));
  startService(freePort());  // rewrites the file properly
  EXPECT_TRUE(serve([&] { return manager->isConnected(); }));
}

TEST_F(RequestManagerTest, OpeningFramesRegisterTheBadgeAndTheObservedFolders) {
  const std::string image = home.write("badge.icns", "icns");
  service.filter = json({{"command", "setFilterPaths"}, {"value", {"", "/Volumes/share"}}}).dump();
  service.icon = json({{"command", "registerIconWithId"},
                       {"value", {{"path", image}, {"label", "FileIconCache"}, {"iconId", "FileIconCache"}}}}).dump();
  startService(freePort());
  manager->connect();
  ASSERT_TRUE(serve([&] { return finder.directoryURLs() == std::set<std::string>{"/Volumes/share"}; }));
  // Cleared first, then set: Finder drops and asks for every badge again.
  EXPECT_EQ(finder.history.front(), std::set<std::string>{});
  EXPECT_EQ(manager->registeredUrls(), std::set<std::string>{"/Volumes/share"});
  ASSERT_TRUE(serve([&] { return manager->registeredBadges().size() == 1; }));
  EXPECT_EQ(finder.images.at(0).path, image);
}

TEST_F(RequestManagerTest, BadgesFromThePushGoOnThePathsTheServiceNames) {
  // Linux stores names as they were written, usually composed: the badge goes on that file.
  const std::string composed = home.write("R\xC3\xA9sum\xC3\xA9 caf\xC3\xA9.pdf");
  manager->executeCommand(
      json({{"command", "setFileIcons"}, {"value", {{composed, "FileIconNone"}}}}).dump());
  EXPECT_EQ(finder.badge(composed), "FileIconNone");
  EXPECT_EQ(finder.badge(home / "Re\xCC\x81sume\xCC\x81 cafe\xCC\x81.pdf"), "(none)");
  // A decomposed file name is just as real.
  const std::string decomposed = home.write("nai\xCC\x88ve.txt");
  manager->executeCommand(
      json({{"command", "setFileIcons"}, {"value", {{decomposed, "FileIconCache"}}}}).dump());
  EXPECT_EQ(finder.badge(decomposed), "FileIconCache");
  // Only where nothing exists at the key does the decomposed form stand in.
  manager->executeCommand(
      json({{"command", "setFileIcons"}, {"value", {{"/share/caf\xC3\xA9.pdf", "FileIconCache"}}}}).dump());
  EXPECT_EQ(finder.badge("/share/cafe\xCC\x81.pdf"), "FileIconCache");
  EXPECT_EQ(finder.badge("/share/caf\xC3\xA9.pdf"), "(none)");
}

TEST_F(RequestManagerTest, BadFramesAreLoggedAndIgnored) {
  platform::log::Capture capture;
  manager->executeCommand("");
  manager->executeCommand("{not json");
  manager->executeCommand("[1,2]");
  manager->executeCommand(R"({"value":1})");
  manager->executeCommand(R"({"command":"dance"})");
  manager->executeCommand(R"({"command":"setFilterPaths","value":"/not/an/array"})");
  manager->executeCommand(R"({"command":"registerIconWithId","value":{"path":"/no/such.icns","label":"L","iconId":"I"}})");
  EXPECT_TRUE(capture.contains("Cannot parse empty data"));
  EXPECT_TRUE(capture.contains("ZAVRO_LOG. Error parsing json: {not json"));
  EXPECT_TRUE(capture.contains("Failed to parse data: [1,2]"));
  EXPECT_TRUE(capture.contains("Failed to parse data: {\"value\":1}"));
  EXPECT_TRUE(capture.contains("Failed to find command: dance"));
  EXPECT_TRUE(capture.contains("Rejected filter paths of the wrong shape"));
  EXPECT_TRUE(capture.contains("Failed to register file badge. File not found: /no/such.icns"));
  EXPECT_TRUE(finder.history.empty());
  EXPECT_TRUE(manager->registeredBadges().empty());
}

TEST_F(RequestManagerTest, StubBadgesAndNetworkAccessReports) {
  startService(freePort());
  manager->connect();
  ASSERT_TRUE(serve([&] { return manager->isConnected(); }));
  const std::string plain = home.write("plain.txt");
  const std::string stub = home.write("stub.bin");
  const std::string six = home.write("six.bin");
  platform::xattr::set(stub, "is.zavro.stub", "ZAVRO", 5, 0, 0);
  platform::xattr::set(six, "is.zavro.stub", "ZAVROX", 6, 0, 0);
  manager->requestFileBadgeId(plain);
  manager->requestFileBadgeId(stub);
  manager->requestFileBadgeId(six);
  EXPECT_EQ(finder.badge(plain), "(none)");
  EXPECT_EQ(finder.badge(stub), "FileIconCache");
  EXPECT_EQ(finder.badge(six), "(none)");
  // "ok" once: the later reads report the same state.
  ASSERT_TRUE(serve([&] { return service.received().find("networkAccess") != std::string::npos; }));
  const std::string sent = service.received();
  EXPECT_EQ(sent, "{\"command\":\"networkAccess\",\"value\":\"ok\"}\r\n");
}

TEST_F(RequestManagerTest, DroppedConnectionClearsObservedFolderBadgesAndReconnects) {
  const std::string share = home.mkdir("share");
  service.filter = json({{"command", "setFilterPaths"}, {"value", {share}}}).dump();
  startService(freePort());
  manager->connect();
  ASSERT_TRUE(serve([&] { return finder.directoryURLs().count(share) == 1; }));
  manager->requestFileBadgeId(home.write("x"));
  ASSERT_TRUE(serve([&] { return service.received().find("\"ok\"") != std::string::npos; }));
  finder.setBadgeIdentifier("FileIconCache", share);
  finder.setBadgeIdentifier("FileIconCache", share + "/inside.bin");
  server.reset();  // the service goes away
  ASSERT_TRUE(serve([&] { return finder.badge(share).empty(); }));
  EXPECT_EQ(finder.badge(share + "/inside.bin"), "FileIconCache");  // only the folders
  // The service comes back, on a new port as every start draws one; the client finds it and
  // reports the network access again.
  {
    std::lock_guard g(service.mutex);
    service.requests.clear();
  }
  startService(freePort());
  ASSERT_TRUE(serve([&] { return manager->isConnected(); }));
  manager->requestFileBadgeId(home.write("y"));
  EXPECT_TRUE(serve([&] { return service.received().find("\"ok\"") != std::string::npos; }));
}

TEST_F(RequestManagerTest, RequestsAreSentWithEscapedSlashes) {
  startService(freePort());
  manager->sendDirectoryOpenedAtURL("/early");  // before any connection: dropped
  manager->connect();
  ASSERT_TRUE(serve([&] { return manager->isConnected(); }));
  manager->sendDirectoryOpenedAtURL("/Volumes/share/docs");
  manager->sendBringFilesOnlineWithURLs({"/b", "/a"});
  ASSERT_TRUE(serve([&] { return service.received().find("bringFileOnline") != std::string::npos; }));
  EXPECT_EQ(service.received(),
            "{\"command\":\"openedDir\",\"path\":\"\\/Volumes\\/share\\/docs\"}\r\n"
            "{\"command\":\"bringFileOnline\",\"paths\":[\"\\/b\",\"\\/a\"]}\r\n");
}

TEST_F(RequestManagerTest, RequestsWaitUntilTheServiceHasAnsweredTheKey) {
  // A request sent right behind the key could share the service's first read and get the
  // connection refused; requests go once the service has answered the key.
  const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ::listen(listener, 1);
  socklen_t length = sizeof address;
  ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
  ASSERT_EQ(PortFile(home.path()).write(ntohs(address.sin_port), "{key}"),
            PortFile::WriteResult::Written);
  manager->connect();
  ASSERT_TRUE(serve([&] { return manager->isConnected(); }));
  const int peer = ::accept(listener, nullptr, nullptr);
  manager->sendDirectoryOpenedAtURL("/a");
  manager->sendDirectoryOpenedAtURL("/b");
  // Everything that arrives before the service answers is the key alone.
  auto readFor = [&](std::chrono::milliseconds window, size_t enough) {
    std::string got;
    const auto deadline = std::chrono::steady_clock::now() + window;
    while (got.size() < enough && std::chrono::steady_clock::now() < deadline) {
      pollfd p{peer, POLLIN, 0};
      if (::poll(&p, 1, 10) <= 0) continue;
      char buffer[256];
      const ssize_t n = ::recv(peer, buffer, sizeof buffer, 0);
      if (n <= 0) break;
      got.append(buffer, static_cast<size_t>(n));
    }
    return got;
  };
  EXPECT_EQ(readFor(300ms, 1000), "{key}\n");
  ASSERT_EQ(::send(peer, "\r\n", 2, MSG_NOSIGNAL), 2);  // the service's first frame
  const std::string expected = "{\"command\":\"openedDir\",\"path\":\"\\/a\"}\r\n"
                               "{\"command\":\"openedDir\",\"path\":\"\\/b\"}\r\n";
  std::string requests;
  ASSERT_TRUE(serve([&] {
    requests += readFor(5ms, expected.size() - requests.size());
    return requests.size() >= expected.size();
  }));
  EXPECT_EQ(requests, expected);
  ::close(peer);
  ::close(listener);
}

// A service end that the test drives by hand: a listener on a free loopback port, named in the
// port file.
class HandService {
 public:
  explicit HandService(const TempDir& home) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(listener_, 4);
    socklen_t length = sizeof address;
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    EXPECT_EQ(PortFile(home.path()).write(ntohs(address.sin_port), "{key}"),
              PortFile::WriteResult::Written);
  }
  ~HandService() {
    if (peer_ >= 0) ::close(peer_);
    ::close(listener_);
  }
  // Serves the main queue while waiting for the next connection.
  bool accept(const std::function<bool(const std::function<bool()>&)>& serve) {
    if (peer_ >= 0) ::close(peer_);
    peer_ = -1;
    return serve([&] {
      pollfd p{listener_, POLLIN, 0};
      if (::poll(&p, 1, 0) <= 0) return false;
      peer_ = ::accept(listener_, nullptr, nullptr);
      return peer_ >= 0;
    });
  }
  // Everything until the extension closes the connection, or nothing when it does not.
  std::optional<std::string> untilClosed(
      const std::function<bool(const std::function<bool()>&)>& serve) {
    std::string got;
    bool closed = false;
    if (!serve([&] {
          pollfd p{peer_, POLLIN, 0};
          if (::poll(&p, 1, 0) <= 0) return false;
          char buffer[4096];
          const ssize_t n = ::recv(peer_, buffer, sizeof buffer, 0);
          if (n > 0) got.append(buffer, static_cast<size_t>(n));
          closed = n <= 0;
          return closed;
        })) {
      return std::nullopt;
    }
    return got;
  }
  bool send(const std::string& bytes) {
    return ::send(peer_, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(bytes.size());
  }

 private:
  int listener_ = -1;
  int peer_ = -1;
};

TEST_F(RequestManagerTest, ServiceThatNeverAnswersTheKeyIsLeftAndTriedAgain) {
  manager = RequestManager::create(finder, {.retry = 50ms, .keyExchangeTimeout = 200ms});
  HandService service(home);
  const auto serveFor = [&](const std::function<bool()>& done) { return serve(done, 5s); };
  manager->connect();
  ASSERT_TRUE(service.accept(serveFor));
  // It sent its key, heard nothing, and gave the connection up ...
  EXPECT_EQ(service.untilClosed(serveFor), "{key}\n");
  // ... to make it again, as after a drop.
  ASSERT_TRUE(service.accept(serveFor));
  EXPECT_EQ(service.untilClosed(serveFor), "{key}\n");
}

TEST_F(RequestManagerTest, FrameLongerThanTheMaximumDropsTheConnection) {
  manager = RequestManager::create(finder, {.retry = 50ms, .maxFrameBytes = 4096});
  HandService service(home);
  const auto serveFor = [&](const std::function<bool()>& done) { return serve(done, 5s); };
  manager->connect();
  ASSERT_TRUE(service.accept(serveFor));
  ASSERT_TRUE(service.send("\r\n"));  // the answer to the key
  ASSERT_TRUE(serve([&] { return manager->isConnected(); }));
  ASSERT_TRUE(service.send(std::string(10000, 'x')));  // no end in sight
  EXPECT_TRUE(service.untilClosed(serveFor).has_value());
  EXPECT_TRUE(service.accept(serveFor));  // and it connects again
}

#ifndef NDEBUG
// The service's commands belong to the main queue; debug builds stop a call from elsewhere.
TEST(RequestManagerThreads, CommandOffTheMainQueueStopsADebugBuild) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        RecordingFinder finder;
        auto manager = RequestManager::create(finder);
        manager->executeCommand(R"({"command":"refreshIcons"})");
        std::thread([&] { manager->executeCommand(R"({"command":"refreshIcons"})"); }).join();
      },
      "called on the wrong thread");
}
#endif

TEST(RequestManagerJson, EscapesEverySlash) {
  EXPECT_EQ(RequestManager::dataFromJSON({{"p", "/a/b"}}), "{\"p\":\"\\/a\\/b\"}");
  EXPECT_FALSE(RequestManager::dataFromJSON({{"p", "\xff"}}).has_value());
  EXPECT_EQ(RequestManager::appendingEOFToData("x"), "x\r\n");
}

}  // namespace
