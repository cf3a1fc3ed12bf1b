// The extension's runtime against a fake Finder end on a socket pair.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <future>
#include <map>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>

#include "MessageSocket.h"
#include "Wait.h"
#include "dispatch/Queue.h"
#include "dispatch/RunLoop.h"
#include "findersync/ExtensionSession.h"
#include "findersync/FinderSync.h"
#include "findersync/Protocol.h"
#include "log/Capture.h"

namespace platform::findersync {
namespace {

using namespace std::chrono_literals;
using pellora::testing::waitUntil;

// Finder's end of the connection.
using FakeFinder = pellora::testing::MessageSocket;

// Records every call with the thread it came on; badges "stub" items, offers a menu.
class Recorder : public FIFinderSync {
 public:
  struct Shared {
    std::mutex mutex;
    std::vector<std::string> calls;  // "<principal>:<call> <url>"
    std::atomic<int> onMainThread{0};
    std::atomic<int> offGlobalQueue{0};
    std::atomic<int> clicks{0};
    std::vector<std::string> selectionSeenByAction;
    std::atomic<int> made{0};
  };

  explicit Recorder(std::shared_ptr<Shared> shared)
      : shared_(std::move(shared)), n_(++shared_->made) {}

  void beginObservingDirectoryAtURL(const std::string& url) override { record("begin", url); }
  void endObservingDirectoryAtURL(const std::string& url) override { record("end", url); }
  void requestBadgeIdentifierForURL(const std::string& url) override {
    record("badge", url);
    FIFinderSyncController::defaultController().setBadgeIdentifier(
        url.find("stub") != std::string::npos ? "stub" : "", url);
  }
  std::optional<Menu> menuForMenuKind(MenuKind kind) override {
    record("menu", message::menuKindName(kind));
    if (kind == MenuKind::ToolbarItemMenu) return std::nullopt;
    Menu menu;
    menu.items.push_back({"Copy Selection", [shared = shared_] {
                            std::lock_guard lock(shared->mutex);
                            shared->selectionSeenByAction =
                                FIFinderSyncController::defaultController().selectedItemURLs();
                            ++shared->clicks;
                          }});
    menu.items.push_back({"Disabled", [shared = shared_] { shared->clicks += 100; }, false, "d"});
    return menu;
  }

  std::vector<std::string> calls() {
    std::lock_guard lock(shared_->mutex);
    return shared_->calls;
  }

 private:
  void record(const std::string& what, const std::string& url) {
    if (dispatch::RunLoop::isMainThread()) ++shared_->onMainThread;
    if (!dispatch::globalQueue()->isCurrent()) ++shared_->offGlobalQueue;
    std::lock_guard lock(shared_->mutex);
    shared_->calls.push_back(std::to_string(n_) + ":" + what + " " + url);
  }

  std::shared_ptr<Shared> shared_;
  int n_;
};

bool contains(const std::vector<std::string>& v, const std::string& s) {
  return std::find(v.begin(), v.end(), s) != v.end();
}

class SessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    finder_ = std::make_unique<FakeFinder>(fds[0]);
    session_ = std::make_unique<ExtensionSession>(
        fds[1], [shared = shared_] { return std::make_shared<Recorder>(shared); });
    session_->start([this] { ++closed_; });
  }
  void TearDown() override {
    session_.reset();
    finder_.reset();
  }
  std::vector<std::string> calls() {
    std::lock_guard lock(shared_->mutex);
    return shared_->calls;
  }
  bool called(const std::string& call) {
    return waitUntil([&] { return contains(calls(), call); }, 5s);
  }

  std::shared_ptr<Recorder::Shared> shared_ = std::make_shared<Recorder::Shared>();
  std::unique_ptr<FakeFinder> finder_;
  std::unique_ptr<ExtensionSession> session_;
  std::atomic<int> closed_{0};
};

TEST_F(SessionTest, CreatesThePrincipalWhenAskedAndHandsItCallsOffTheMainThread) {
  EXPECT_EQ(session_->principalCount(), 0u);
  finder_->send(message::makePrincipal());
  finder_->send(message::beginObserving("/share"));
  finder_->send(message::requestBadge("/share/a stub.txt"));
  finder_->send(message::requestBadge("/share/plain.txt"));
  finder_->send(message::endObserving("/share"));
  EXPECT_TRUE(called("1:begin /share"));
  EXPECT_TRUE(called("1:end /share"));
  EXPECT_EQ(session_->principalCount(), 1u);
  // The badges come back as the principal sets them (in either order: calls run concurrently).
  std::map<std::string, std::string> badges;
  for (int i = 0; i < 2; ++i) {
    const auto m = finder_->nextOp("setBadge");
    ASSERT_FALSE(m.is_null());
    badges[message::text(m, "url")] = message::text(m, "badge");
  }
  EXPECT_EQ(badges["/share/a stub.txt"], "stub");
  EXPECT_EQ(badges["/share/plain.txt"], "");
  EXPECT_EQ(shared_->onMainThread, 0);
  EXPECT_EQ(shared_->offGlobalQueue, 0);
}

TEST_F(SessionTest, CallsWithoutAPrincipalAreDropped) {
  log::Capture capture;
  finder_->send(message::requestBadge("/share/early"));
  EXPECT_TRUE(capture.waitFor("No principal object", 5s));
  finder_->send(message::makePrincipal());
  finder_->send(message::requestBadge("/share/late"));
  EXPECT_TRUE(called("1:badge /share/late"));
  EXPECT_FALSE(contains(calls(), "1:badge /share/early"));
}

TEST_F(SessionTest, ASecondPrincipalTakesTheCallsThatFollowIt) {
  finder_->send(message::makePrincipal());
  finder_->send(message::requestBadge("/s/one"));
  ASSERT_TRUE(called("1:badge /s/one"));
  finder_->send(message::makePrincipal());
  finder_->send(message::requestBadge("/s/two"));
  EXPECT_TRUE(called("2:badge /s/two"));
  EXPECT_FALSE(contains(calls(), "1:badge /s/two"));
  EXPECT_EQ(session_->principalCount(), 2u);
  EXPECT_EQ(shared_->made, 2);
}

TEST_F(SessionTest, AnswersMenusAndRunsTheClickedItemWithTheSelection) {
  finder_->send(message::makePrincipal());
  finder_->send(message::menuRequest(7, MenuKind::ContextualMenuForItems, {"/s/b", "/s/a"}));
  const auto reply = finder_->nextOp("menuReply");
  ASSERT_FALSE(reply.is_null());
  EXPECT_EQ(message::number(reply, "id"), 7u);
  const auto entries = message::menuEntries(reply);
  ASSERT_TRUE(entries.has_value());
  ASSERT_EQ(entries->size(), 2u);
  EXPECT_EQ((*entries)[0].title, "Copy Selection");
  EXPECT_TRUE((*entries)[0].enabled);
  EXPECT_EQ((*entries)[1].title, "Disabled");
  EXPECT_FALSE((*entries)[1].enabled);
  EXPECT_EQ((*entries)[1].keyEquivalent, "d");
  EXPECT_TRUE(called("1:menu items"));

  finder_->send(message::click(7, 1));  // disabled: nothing runs
  finder_->send(message::click(8, 0));  // no such menu
  finder_->send(message::click(7, 0));
  ASSERT_TRUE(waitUntil([&] { return shared_->clicks > 0; }, 5s));
  std::lock_guard lock(shared_->mutex);
  EXPECT_EQ(shared_->clicks, 1);
  EXPECT_EQ(shared_->selectionSeenByAction, (std::vector<std::string>{"/s/b", "/s/a"}));
}

TEST_F(SessionTest, ANullMenuIsSentAsNoMenu) {
  finder_->send(message::makePrincipal());
  finder_->send(message::menuRequest(3, MenuKind::ToolbarItemMenu, {}));
  const auto reply = finder_->nextOp("menuReply");
  ASSERT_FALSE(reply.is_null());
  EXPECT_EQ(message::number(reply, "id"), 3u);
  EXPECT_TRUE(reply["items"].is_null());
  EXPECT_FALSE(message::menuEntries(reply).has_value());
}

TEST_F(SessionTest, SelectionChangesAreVisibleToTheExtension) {
  auto& controller = FIFinderSyncController::defaultController();
  finder_->send(message::selection({"/s/z", "/s/y", "/s/x"}));
  EXPECT_TRUE(waitUntil(
      [&] {
        return controller.selectedItemURLs() == std::vector<std::string>{"/s/z", "/s/y", "/s/x"};
      },
      5s));
  finder_->send(message::selection({}));
  EXPECT_TRUE(waitUntil([&] { return controller.selectedItemURLs().empty(); }, 5s));
}

TEST_F(SessionTest, ControllerMessagesArriveWholeUnderConcurrentCalls) {
  auto& controller = FIFinderSyncController::defaultController();
  constexpr int kThreads = 8, kEach = 300;
  const std::string longName(3000, 'n');
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        const std::string url = "/s/" + std::to_string(t) + "/" + std::to_string(i) + longName;
        if (i % 3 == 0) {
          controller.setBadgeImage("/img/" + url, "label", "b" + std::to_string(t));
        } else {
          controller.setBadgeIdentifier("b" + std::to_string(t), url);
        }
      }
    });
  }
  std::map<int, int> next;
  int count = 0;
  for (; count < kThreads * kEach; ++count) {
    const auto m = finder_->next();
    if (!m.is_object()) break;
    const std::string op = message::text(m, "op");
    const std::string url =
        op == "setBadgeImage" ? message::text(m, "image").substr(5) : message::text(m, "url");
    ASSERT_TRUE(op == "setBadgeImage" || op == "setBadge") << m.dump();
    const size_t slash = url.find('/', 3);
    ASSERT_NE(slash, std::string::npos) << url;
    const int t = std::stoi(url.substr(3, slash - 3));
    const int i = std::stoi(url.substr(slash + 1));
    EXPECT_EQ(url.substr(url.size() - longName.size()), longName);
    EXPECT_EQ(i, next[t]++) << "calls of one thread arrived out of order";
    EXPECT_EQ(message::text(m, op == "setBadge" ? "badge" : "badge"), "b" + std::to_string(t));
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(count, kThreads * kEach);
}

TEST_F(SessionTest, DirectoryURLsAreWhatTheExtensionLastSet) {
  auto& controller = FIFinderSyncController::defaultController();
  controller.setDirectoryURLs({"/a", "/b"});
  auto m = finder_->nextOp("setDirectoryURLs");
  EXPECT_EQ(message::texts(m, "urls"), (std::vector<std::string>{"/a", "/b"}));
  controller.setDirectoryURLs({});
  m = finder_->nextOp("setDirectoryURLs");
  ASSERT_FALSE(m.is_null());
  EXPECT_TRUE(message::texts(m, "urls").empty());
  EXPECT_TRUE(controller.directoryURLs().empty());
  controller.setDirectoryURLs({"/c"});
  EXPECT_EQ(controller.directoryURLs(), (std::set<std::string>{"/c"}));
  FIFinderSyncController::showExtensionManagementInterface();
  EXPECT_FALSE(finder_->nextOp("showManagement").is_null());
}

TEST_F(SessionTest, FinderClosingEndsTheSessionAndLaterCallsAreDropped) {
  finder_->close();
  ASSERT_TRUE(waitUntil([&] { return closed_ == 1; }, 5s));
  // The controller no longer has anywhere to send; the call must not fail or block.
  FIFinderSyncController::defaultController().setBadgeIdentifier("stub", "/late");
  FIFinderSyncController::defaultController().setDirectoryURLs({"/late"});
  EXPECT_EQ(FIFinderSyncController::defaultController().directoryURLs(),
            (std::set<std::string>{"/late"}));
}

TEST_F(SessionTest, StopEndsFindersStream) {
  finder_->send(message::makePrincipal());
  session_->stop();
  EXPECT_TRUE(finder_->waitEnd());
  EXPECT_EQ(closed_, 0);
}

class Thrower : public FIFinderSync {
 public:
  void requestBadgeIdentifierForURL(const std::string&) override {
    throw std::runtime_error("badge trouble");
  }
  std::optional<Menu> menuForMenuKind(MenuKind) override { throw 42; }
};

TEST(Session, ExceptionsFromTheExtensionAreContained) {
  int fds[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
  FakeFinder finder(fds[0]);
  log::Capture capture;
  ExtensionSession session(fds[1], [] { return std::make_shared<Thrower>(); });
  session.start(nullptr);
  finder.send(message::makePrincipal());
  finder.send(message::requestBadge("/x"));
  EXPECT_TRUE(capture.waitFor("badge trouble", 5s));
  finder.send(message::menuRequest(1, MenuKind::ContextualMenuForItems, {"/x"}));
  const auto reply = finder.nextOp("menuReply");
  ASSERT_FALSE(reply.is_null());
  EXPECT_TRUE(reply["items"].is_null());
}

// Each session that ends leaves the controller detached; the next one must have it attached
// before Finder's first message is handled, or the selection is reset and the principal's
// answers are dropped. Finder's messages are in the socket before the session starts, so they
// are read at once.
TEST(Session, ALaterSessionKeepsFindersFirstMessages) {
  auto shared = std::make_shared<Recorder::Shared>();
  for (int round = 0; round < 500; ++round) {
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    FakeFinder finder(fds[0]);
    const std::vector<std::string> selected{"/share/" + std::to_string(round)};
    finder.send(message::selection(selected));
    finder.send(message::makePrincipal());
    finder.send(message::requestBadge("/share/stub " + std::to_string(round)));
    ExtensionSession session(fds[1], [shared] { return std::make_shared<Recorder>(shared); });
    session.start(nullptr);
    const auto m = finder.nextOp("setBadge");
    ASSERT_FALSE(m.is_null()) << "round " << round;
    EXPECT_EQ(message::text(m, "url"), "/share/stub " + std::to_string(round));
    EXPECT_EQ(message::text(m, "badge"), "stub");
    // The selection was handled before the badge request.
    ASSERT_EQ(FIFinderSyncController::defaultController().selectedItemURLs(), selected)
        << "round " << round;
  }
}

TEST(Runtime, OutsideFinderItReturnsTwoWithAnError) {
  ::unsetenv(kSocketVariable);
  log::Capture capture;
  EXPECT_EQ(runExtension([] { return std::make_shared<FIFinderSync>(); }), 2);
  EXPECT_TRUE(capture.contains("PELLORA_FINDERSYNC_FD"));
  // A variable that names no socket is refused as well.
  const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  ::setenv(kSocketVariable, std::to_string(fd).c_str(), 1);
  EXPECT_EQ(runExtension([] { return std::make_shared<FIFinderSync>(); }), 2);
  ::setenv(kSocketVariable, "x", 1);
  EXPECT_EQ(runExtension([] { return std::make_shared<FIFinderSync>(); }), 2);
  ::unsetenv(kSocketVariable);
  ::close(fd);
}

// runExtension serves the main run loop on the calling (main) thread; Finder plays from another.
TEST(Runtime, ServesFinderUntilItClosesTheConnection) {
  ASSERT_TRUE(dispatch::RunLoop::isMainThread());
  int fds[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
  ::setenv(kSocketVariable, std::to_string(fds[1]).c_str(), 1);
  auto shared = std::make_shared<Recorder::Shared>();
  std::atomic<bool> mainQueueRan{false};
  auto finder = std::async(std::launch::async, [&] {
    FakeFinder f(fds[0]);
    f.send(message::makePrincipal());
    f.send(message::requestBadge("/share/stub"));
    const auto m = f.nextOp("setBadge");
    // The main queue is served while the extension runs.
    dispatch::mainQueue()->async([&] { mainQueueRan = true; });
    waitUntil([&] { return mainQueueRan.load(); }, 5s);
    return m;
  });
  const int status = runExtension([shared] { return std::make_shared<Recorder>(shared); });
  EXPECT_EQ(status, 0);
  const auto m = finder.get();
  EXPECT_EQ(message::text(m, "badge"), "stub");
  EXPECT_TRUE(mainQueueRan);
  EXPECT_EQ(std::getenv(kSocketVariable), nullptr);  // not passed on to the extension's children
}

TEST(Runtime, SigtermEndsIt) {
  int fds[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
  ::setenv(kSocketVariable, std::to_string(fds[1]).c_str(), 1);
  auto shared = std::make_shared<Recorder::Shared>();
  FakeFinder f(fds[0]);
  auto finder = std::async(std::launch::async, [&] {
    f.send(message::makePrincipal());
    f.send(message::requestBadge("/share/x"));
    // The principal answering means the runtime is up, its signal handling in place.
    if (f.nextOp("setBadge").is_null()) return false;
    ::kill(::getpid(), SIGTERM);
    return f.waitEnd();
  });
  EXPECT_EQ(runExtension([shared] { return std::make_shared<Recorder>(shared); }), 0);
  EXPECT_TRUE(finder.get());
  // The previous disposition is back.
  struct sigaction sa {};
  ::sigaction(SIGTERM, nullptr, &sa);
  EXPECT_EQ(sa.sa_handler, SIG_DFL);
}

}  // namespace
}  // namespace platform::findersync
