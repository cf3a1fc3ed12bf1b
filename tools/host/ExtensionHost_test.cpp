// The host against fake extension ends on socket pairs. It lives on the main run loop, served
// while the tests wait.
#include "ExtensionHost.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "MessageSocket.h"
#include "RunLoopHostLoop.h"
#include "TempDir.h"
#include "findersync/Protocol.h"

namespace pellora::host {
namespace {

namespace message = platform::findersync::message;
using namespace std::chrono_literals;
using pellora::testing::MessageSocket;
using pellora::testing::TempDir;
using platform::dispatch::RunLoop;
using platform::findersync::MenuKind;

struct RecordingObserver : ExtensionHost::Observer {
  void badgeChanged(const std::string& path) override { changed.push_back(path); }
  void observedChanged() override { ++observedChanges; }
  std::vector<std::string> changed;
  int observedChanges = 0;
};

class ExtensionHostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = std::filesystem::canonical(dir_.path()).string();
    dir_.mkdir("share");
    share_ = root_ + "/share";
    dir_.write("share/b.pdf");
    dir_.write("share/a.txt");
    dir_.write("share/.hidden");
    dir_.mkdir("share/sub");
    dir_.write("share/sub/c.png");
    dir_.mkdir("elsewhere");
  }

  bool serveUntil(const std::function<bool()>& done) { return loop_.servePostedUntil(done, 5s); }

  std::unique_ptr<MessageSocket> connect(const std::string& id,
                                         const std::set<std::string>& observed) {
    int peer = -1;
    auto ext = std::make_unique<MessageSocket>(MessageSocket::pair(peer));
    host_.connect(id, peer);
    EXPECT_EQ(message::text(ext->next(), "op"), "makePrincipal");
    ext->send(message::setDirectoryURLs(observed));
    const int before = observer_.observedChanges;
    EXPECT_TRUE(serveUntil([&] { return observer_.observedChanges > before; }));
    return ext;
  }

  // What the host sent to ext until it was quiet for a while, as "op url" lines.
  std::vector<std::string> sent(MessageSocket& ext) {
    std::vector<std::string> out;
    for (const auto& m : ext.drain(200ms)) {
      const std::string url = message::text(m, "url");
      out.push_back(message::text(m, "op") + (url.empty() ? "" : " " + url));
    }
    return out;
  }

  void badge(MessageSocket& ext, const std::string& path, const std::string& id) {
    const size_t before = observer_.changed.size();
    ext.send(message::setBadge(id, path));
    ASSERT_TRUE(serveUntil([&] { return observer_.changed.size() > before; }));
  }

  TempDir dir_;
  std::string root_, share_;
  RunLoopHostLoop loop_{RunLoop::main()};
  RecordingObserver observer_;
  ExtensionHost host_{loop_, observer_};
};

TEST_F(ExtensionHostTest, AShownFolderIsToldOnceToTheExtensionsObservingIt) {
  auto ext = connect("ext", {share_});
  host_.show(share_);
  EXPECT_EQ(sent(*ext), (std::vector<std::string>{"beginObserving " + share_,
                                                  "requestBadge " + share_ + "/a.txt",
                                                  "requestBadge " + share_ + "/b.pdf",
                                                  "requestBadge " + share_ + "/sub"}));
  host_.show(share_ + "/");
  host_.show(root_ + "/elsewhere");
  EXPECT_TRUE(sent(*ext).empty());
  host_.requestBadge(share_ + "/sub/c.png");
  host_.requestBadge(root_ + "/elsewhere/x");
  EXPECT_EQ(sent(*ext), (std::vector<std::string>{"requestBadge " + share_ + "/sub/c.png"}));

  badge(*ext, share_ + "/a.txt", "FileIconCache");
  badge(*ext, share_ + "/sub/c.png", "FileIconCache");
  observer_.changed.clear();
  host_.hide(share_);
  EXPECT_EQ(sent(*ext), (std::vector<std::string>{"endObserving " + share_}));
  // The hidden folder's items lose their badges; those of a folder below it stay.
  EXPECT_EQ(observer_.changed, (std::vector<std::string>{share_ + "/a.txt"}));
  EXPECT_EQ(host_.badgeOf(share_ + "/sub/c.png"), "FileIconCache");
  host_.hide(share_);
  EXPECT_TRUE(sent(*ext).empty());
}

TEST_F(ExtensionHostTest, BadgesAndImagesAreKeptAndEveryChangeIsTold) {
  auto ext = connect("ext", {share_});
  const std::string a = share_ + "/a.txt";
  ext->send(message::setBadgeImage("/images/stub.png", "Stub", "FileIconCache"));
  badge(*ext, a, "FileIconCache");
  EXPECT_EQ(host_.badgeOf(a), "FileIconCache");
  ASSERT_TRUE(host_.imageFor("FileIconCache"));
  EXPECT_EQ(host_.imageFor("FileIconCache")->image, "/images/stub.png");
  EXPECT_FALSE(host_.imageFor("FileIconNone"));
  ext->send(message::setBadgeImage("/images/none.png", "None", "FileIconNone"));
  ASSERT_TRUE(serveUntil([&] { return host_.badgeImages().size() == 2; }));
  const auto images = host_.badgeImages();
  EXPECT_EQ(images[0].badge, "FileIconCache");
  EXPECT_EQ(images[0].label, "Stub");
  EXPECT_EQ(images[0].extension, "ext");
  EXPECT_EQ(images[1].image, "/images/none.png");

  // The same badge again is no change; another one is.
  observer_.changed.clear();
  ext->send(message::setBadge("FileIconCache", a));
  badge(*ext, a, "FileIconNone");
  EXPECT_EQ(observer_.changed, (std::vector<std::string>{a}));
  badge(*ext, a, "");
  EXPECT_EQ(host_.badgeOf(a), "");

  // A relative path is no path.
  const size_t before = observer_.changed.size();
  ext->send(message::setBadge("FileIconCache", "share/b.pdf"));
  badge(*ext, share_ + "/b.pdf", "FileIconCache");
  EXPECT_EQ(observer_.changed, (std::vector<std::string>{a, a, share_ + "/b.pdf"}));
  EXPECT_EQ(observer_.changed.size(), before + 1);

  // An item that has gone loses its badge; one without a badge changes nothing.
  badge(*ext, share_ + "/sub", "FileIconCache");
  observer_.changed.clear();
  host_.itemRemoved(share_ + "/sub/");
  host_.itemRemoved(a);
  EXPECT_EQ(observer_.changed, (std::vector<std::string>{share_ + "/sub"}));
  EXPECT_EQ(host_.badgeOf(share_ + "/sub"), "");

  // Its end takes its badges, images and folders with it.
  observer_.changed.clear();
  ext->close();
  ASSERT_TRUE(serveUntil([&] { return !host_.isConnected("ext"); }));
  EXPECT_EQ(observer_.changed, (std::vector<std::string>{share_ + "/b.pdf"}));
  EXPECT_FALSE(host_.isObserved(a));
  EXPECT_FALSE(host_.imageFor("FileIconCache"));
  EXPECT_TRUE(host_.badgeImages().empty());
  EXPECT_FALSE(host_.newPrincipal("ext"));
}

TEST_F(ExtensionHostTest, TheSelectionGoesToEveryExtensionAndToThoseThatConnectLater) {
  auto a = connect("a-ext", {share_});
  auto b = connect("b-ext", {root_ + "/elsewhere"});
  host_.sendSelection({share_ + "/b.pdf", share_ + "/a.txt/"});
  const std::vector<std::string> selection = {share_ + "/b.pdf", share_ + "/a.txt"};
  EXPECT_EQ(message::texts(a->nextOp("selection"), "urls"), selection);
  EXPECT_EQ(message::texts(b->nextOp("selection"), "urls"), selection);
  EXPECT_EQ(host_.selection(), selection);

  // Right after its principal request, before anything else.
  int peer = -1;
  MessageSocket c(MessageSocket::pair(peer));
  host_.connect("c-ext", peer);
  EXPECT_EQ(message::text(c.next(), "op"), "makePrincipal");
  const auto told = c.next();
  EXPECT_EQ(message::text(told, "op"), "selection");
  EXPECT_EQ(message::texts(told, "urls"), selection);

  // Another principal on request; a management request is counted.
  EXPECT_TRUE(host_.newPrincipal("c-ext"));
  EXPECT_EQ(message::text(c.next(), "op"), "makePrincipal");
  EXPECT_FALSE(host_.newPrincipal("d-ext"));
  c.send(message::showManagement());
  EXPECT_TRUE(serveUntil([&] { return host_.managementRequests() == 1; }));

  // A cleared selection is told too, and a new extension hears none.
  host_.sendSelection({});
  EXPECT_TRUE(message::texts(a->nextOp("selection"), "urls").empty());
  auto d = connect("d-ext", {share_});
  EXPECT_TRUE(sent(*d).empty());
}

TEST_F(ExtensionHostTest, NewObservedFoldersRetellTheShownFoldersAndDropTheBadges) {
  auto ext = connect("ext", {root_ + "/elsewhere"});
  host_.show(share_);
  host_.show(root_ + "/elsewhere");
  sent(*ext);
  badge(*ext, root_ + "/elsewhere/x", "FileIconCache");

  observer_.changed.clear();
  ext->send(message::setDirectoryURLs({share_}));
  ASSERT_TRUE(serveUntil([&] { return host_.isObserved(share_ + "/a.txt"); }));
  EXPECT_EQ(sent(*ext), (std::vector<std::string>{"endObserving " + root_ + "/elsewhere",
                                                  "beginObserving " + share_,
                                                  "requestBadge " + share_ + "/a.txt",
                                                  "requestBadge " + share_ + "/b.pdf",
                                                  "requestBadge " + share_ + "/sub"}));
  EXPECT_EQ(observer_.changed, (std::vector<std::string>{root_ + "/elsewhere/x"}));
  EXPECT_EQ(observer_.observedChanges, 2);
}

TEST_F(ExtensionHostTest, MenusAreMergedByExtensionAndClicksCarryTheirSelection) {
  auto b = connect("b-ext", {share_});
  auto a = connect("a-ext", {share_});
  auto other = connect("c-ext", {root_ + "/elsewhere"});
  const std::vector<std::string> selection = {share_ + "/a.txt", share_ + "/b.pdf"};
  std::optional<std::vector<MenuChoice>> shown;
  host_.menu(MenuKind::ContextualMenuForItems, selection, 5s,
             [&](std::vector<MenuChoice> items) { shown = std::move(items); });

  const auto askA = a->nextOp("menu");
  const auto askB = b->nextOp("menu");
  EXPECT_EQ(message::texts(askA, "selection"), selection);
  EXPECT_TRUE(other->drain(100ms).empty());
  platform::findersync::Menu menuB;
  menuB.items.push_back({"Second", nullptr, true});
  b->send(message::menuReply(*message::number(askB, "id"), menuB));
  platform::findersync::Menu menuA;
  menuA.items.push_back({"First", nullptr, true});
  menuA.items.push_back({"Off", nullptr, false});
  a->send(message::menuReply(*message::number(askA, "id"), menuA));
  ASSERT_TRUE(serveUntil([&] { return shown.has_value(); }));
  ASSERT_EQ(shown->size(), 3u);
  EXPECT_EQ((*shown)[0].entry.title, "First");
  EXPECT_EQ((*shown)[1].entry.title, "Off");
  EXPECT_EQ((*shown)[2].entry.title, "Second");

  std::string error;
  EXPECT_FALSE(host_.click((*shown)[1], error));
  EXPECT_NE(error.find("disabled"), std::string::npos);
  ASSERT_TRUE(host_.click((*shown)[2], error)) << error;
  const auto select = b->nextOp("selection");
  EXPECT_EQ(message::texts(select, "urls"), selection);
  const auto click = b->next();
  EXPECT_EQ(message::text(click, "op"), "click");
  EXPECT_EQ(message::number(click, "menu"), message::number(askB, "id"));
  EXPECT_EQ(message::number(click, "index"), 0u);

  // An extension that does not answer is waited for until the timeout; one that ends, not.
  shown.reset();
  host_.menu(MenuKind::ContextualMenuForItems, selection, 300ms,
             [&](std::vector<MenuChoice> items) { shown = std::move(items); });
  a->nextOp("menu");
  b->nextOp("menu");
  b->close();
  EXPECT_FALSE(loop_.servePostedUntil([&] { return shown.has_value(); }, 150ms));
  ASSERT_TRUE(serveUntil([&] { return shown.has_value(); }));
  EXPECT_TRUE(shown->empty());
  // A click on an item of an extension that has gone finds nobody.
  EXPECT_FALSE(host_.click(MenuChoice{"b-ext", 1, 1, 0, selection, {"Second", true, ""}}, error));
}

}  // namespace
}  // namespace pellora::host
