// Finder's windows, selection, menus and badge waits on top of its host, against fake extension
// ends on socket pairs. Finder lives on the main run loop: the tests serve it with runUntil
// while they wait.
#include "Finder.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "FolderPaths.h"
#include "MessageSocket.h"
#include "RunLoopHostLoop.h"
#include "TempDir.h"
#include "dispatch/RunLoop.h"
#include "findersync/Protocol.h"

namespace pellora::finder {
namespace {

namespace message = platform::findersync::message;
using namespace std::chrono_literals;
using nlohmann::json;
using pellora::testing::MessageSocket;
using pellora::testing::TempDir;
using platform::dispatch::RunLoop;
using platform::findersync::MenuKind;

bool serveUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = 5s) {
  return RunLoop::main()->runUntil(done, timeout);
}

std::string opAndUrl(const json& m) {
  const std::string url = message::text(m, "url");
  return message::text(m, "op") + (url.empty() ? "" : " " + url);
}

class FinderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Canonical: the folder watch and the comparisons see the same names.
    root_ = std::filesystem::canonical(dir_.path()).string();
    dir_.mkdir("share");
    share_ = root_ + "/share";
    dir_.write("share/b-stub", "");
    dir_.write("share/a.txt", "");
    dir_.write("share/.hidden", "");
    dir_.mkdir("share/sub");
    dir_.write("share/sub/inner-stub", "");
    dir_.mkdir("elsewhere");
  }

  // Connects an extension and checks that its first message asks for a principal.
  std::unique_ptr<MessageSocket> connect(const std::string& id) {
    int peer = -1;
    auto ext = std::make_unique<MessageSocket>(MessageSocket::pair(peer));
    finder_.host().connect(id, peer);
    EXPECT_EQ(message::text(ext->next(), "op"), "makePrincipal");
    return ext;
  }

  // The extension sets its observed folders; returns once Finder has them.
  void observe(MessageSocket& ext, std::set<std::string> folders) {
    ext.send(message::setDirectoryURLs(folders));
    ASSERT_TRUE(serveUntil([&] {
      const auto all = finder_.host().observed();
      return std::includes(all.begin(), all.end(), folders.begin(), folders.end());
    }));
  }

  void badge(MessageSocket& ext, const std::string& path, const std::string& badge) {
    ext.send(message::setBadge(badge, path));
    ASSERT_TRUE(serveUntil([&] { return finder_.host().badgeOf(path) == badge; }));
  }

  // What Finder sends to ext until it has been quiet for a while (Finder is served meanwhile).
  std::vector<std::string> sent(MessageSocket& ext) {
    std::vector<std::string> out;
    auto last = std::chrono::steady_clock::now();
    serveUntil([&] {
      for (const auto& m : ext.drain(0ms)) {
        out.push_back(opAndUrl(m));
        last = std::chrono::steady_clock::now();
      }
      return std::chrono::steady_clock::now() - last >= 200ms;
    });
    return out;
  }

  std::string path(const std::string& rel) { return root_ + "/" + rel; }

  TempDir dir_;
  std::string root_;
  std::string share_;
  host::RunLoopHostLoop loop_{RunLoop::main()};
  Finder finder_{loop_};
};

TEST_F(FinderTest, AnObservedOpenFolderGetsBeginAndABadgeRequestPerItemInNameOrder) {
  auto ext = connect("x.ext");
  std::string error;
  ASSERT_TRUE(finder_.open(share_, error)) << error;
  EXPECT_TRUE(sent(*ext).empty());  // not observed yet: nothing is sent
  ext->send(message::setDirectoryURLs({share_ + "/"}));
  EXPECT_EQ(sent(*ext),
            (std::vector<std::string>{
                "beginObserving " + share_, "requestBadge " + share_ + "/a.txt",
                "requestBadge " + share_ + "/b-stub", "requestBadge " + share_ + "/sub"}));
  EXPECT_EQ(finder_.host().observed(), (std::set<std::string>{share_}));
  // A folder below an observed one is observed too; one beside it is not.
  ASSERT_TRUE(finder_.open(path("share/sub"), error));
  EXPECT_EQ(sent(*ext), (std::vector<std::string>{"beginObserving " + share_ + "/sub",
                                                  "requestBadge " + share_ + "/sub/inner-stub"}));
  ASSERT_TRUE(finder_.open(path("elsewhere"), error));
  EXPECT_TRUE(sent(*ext).empty());
  // Opening an open folder again sends nothing.
  ASSERT_TRUE(finder_.open(share_, error));
  EXPECT_TRUE(sent(*ext).empty());
  EXPECT_FALSE(finder_.open(path("share/a.txt"), error));
  EXPECT_NE(error.find("not a folder"), std::string::npos);
}

TEST_F(FinderTest, KeepsBadgesAsTheExtensionSetsThem) {
  auto ext = connect("x.ext");
  observe(*ext, {share_});
  badge(*ext, share_ + "/b-stub", "stub");
  badge(*ext, share_ + "/sub", "folder");
  auto items = finder_.list(share_);
  ASSERT_TRUE(items.has_value());
  ASSERT_EQ(items->size(), 3u);
  EXPECT_EQ((*items)[0].name, "a.txt");
  EXPECT_EQ((*items)[0].badge, "");
  EXPECT_EQ((*items)[1].name, "b-stub");
  EXPECT_EQ((*items)[1].badge, "stub");
  EXPECT_EQ((*items)[2].badge, "folder");
  badge(*ext, share_ + "/b-stub", "");  // an empty identifier removes it
  EXPECT_EQ(finder_.list(share_)->at(1).badge, "");
  EXPECT_FALSE(finder_.list(path("share/a.txt")).has_value());
}

TEST_F(FinderTest, ChangingTheObservedFoldersDropsTheBadgesAndAsksAgain) {
  auto ext = connect("x.ext");
  std::string error;
  ASSERT_TRUE(finder_.open(share_, error));
  ASSERT_TRUE(finder_.open(path("elsewhere"), error));
  observe(*ext, {share_});
  badge(*ext, share_ + "/b-stub", "stub");
  badge(*ext, path("elsewhere/outside"), "stub");
  sent(*ext);

  // Still covering share: its badges go and are asked for again.
  observe(*ext, {share_, path("elsewhere")});
  EXPECT_EQ(finder_.host().badgeOf(share_ + "/b-stub"), "");
  EXPECT_EQ(finder_.host().badgeOf(path("elsewhere/outside")), "");
  EXPECT_EQ(sent(*ext),
            (std::vector<std::string>{
                "beginObserving " + path("elsewhere"), "beginObserving " + share_,
                "requestBadge " + share_ + "/a.txt", "requestBadge " + share_ + "/b-stub",
                "requestBadge " + share_ + "/sub"}));
  // Dropping share: it hears the end of observing.
  badge(*ext, share_ + "/b-stub", "stub");
  ext->send(message::setDirectoryURLs({path("elsewhere")}));
  ASSERT_TRUE(serveUntil([&] { return finder_.host().observed().size() == 1; }));
  EXPECT_EQ(finder_.host().badgeOf(share_ + "/b-stub"), "");
  EXPECT_EQ(sent(*ext), (std::vector<std::string>{"beginObserving " + path("elsewhere"),
                                                  "endObserving " + share_}));
}

TEST_F(FinderTest, ClosingAWindowEndsObservingAndDropsItsBadges) {
  auto ext = connect("x.ext");
  std::string error;
  ASSERT_TRUE(finder_.open(share_, error));
  ASSERT_TRUE(finder_.open(path("share/sub"), error));
  observe(*ext, {share_});
  badge(*ext, share_ + "/b-stub", "stub");
  badge(*ext, share_ + "/sub/inner-stub", "stub");
  sent(*ext);
  ASSERT_TRUE(finder_.close(path("share/sub"), error));
  EXPECT_EQ(sent(*ext), (std::vector<std::string>{"endObserving " + share_ + "/sub"}));
  EXPECT_EQ(finder_.host().badgeOf(share_ + "/sub/inner-stub"), "");
  EXPECT_EQ(finder_.host().badgeOf(share_ + "/b-stub"), "stub");
  EXPECT_EQ(finder_.openFolders(), (std::vector<std::string>{share_}));
  EXPECT_FALSE(finder_.close(path("share/sub"), error));
}

TEST_F(FinderTest, NewItemsInAnObservedWindowAreAskedForAndGoneOnesLoseTheirBadges) {
  auto ext = connect("x.ext");
  std::string error;
  ASSERT_TRUE(finder_.open(share_, error));
  observe(*ext, {share_});
  badge(*ext, share_ + "/b-stub", "stub");
  sent(*ext);
  dir_.write("share/c-stub", "");
  std::vector<std::string> got;
  ASSERT_TRUE(serveUntil([&] {
    for (const auto& m : ext->drain(0ms)) got.push_back(opAndUrl(m));
    return !got.empty();
  }));
  EXPECT_EQ(got, (std::vector<std::string>{"requestBadge " + share_ + "/c-stub"}));
  std::filesystem::remove(share_ + "/b-stub");
  EXPECT_TRUE(serveUntil([&] { return finder_.host().badgeOf(share_ + "/b-stub").empty(); }));
}

TEST_F(FinderTest, SelectionGoesToEveryExtension) {
  auto a = connect("a.ext");
  auto b = connect("b.ext");
  finder_.select({share_ + "/b-stub", share_ + "/a.txt/"});
  for (auto* ext : {a.get(), b.get()}) {
    const auto m = ext->nextOp("selection");
    EXPECT_EQ(message::texts(m, "urls"),
              (std::vector<std::string>{share_ + "/b-stub", share_ + "/a.txt"}));
  }
  // An extension that starts later hears the selection after its principal request.
  auto c = connect("c.ext");
  EXPECT_EQ(message::texts(c->nextOp("selection"), "urls").size(), 2u);
}

TEST_F(FinderTest, MenusAreMergedFromTheConcernedExtensionsAndClicksReachTheRightOne) {
  auto a = connect("a.ext");
  auto b = connect("b.ext");
  auto other = connect("c.ext");
  observe(*a, {share_});
  observe(*b, {path("share/sub")});
  observe(*other, {path("elsewhere")});
  finder_.select({share_ + "/sub/inner-stub"});
  std::optional<std::vector<host::MenuChoice>> shown;
  finder_.menu(MenuKind::ContextualMenuForItems, [&](auto menu) { shown = std::move(menu); });
  const auto ra = a->nextOp("menu");
  const auto rb = b->nextOp("menu");
  ASSERT_FALSE(ra.is_null());
  ASSERT_FALSE(rb.is_null());
  EXPECT_EQ(message::text(ra, "kind"), "items");
  EXPECT_EQ(message::texts(ra, "selection"),
            (std::vector<std::string>{share_ + "/sub/inner-stub"}));
  EXPECT_TRUE(other->nextOp("menu", 200ms).is_null());  // observes none of the selection
  platform::findersync::Menu ma, mb;
  ma.items.push_back({"A one"});
  ma.items.push_back({"A off", nullptr, false});
  mb.items.push_back({"B one"});
  // Answers in the other order; the menu is still in identifier order.
  b->send(message::menuReply(*message::number(rb, "id"), mb));
  a->send(message::menuReply(*message::number(ra, "id"), ma));
  ASSERT_TRUE(serveUntil([&] { return shown.has_value(); }));
  ASSERT_EQ(shown->size(), 3u);
  EXPECT_EQ((*shown)[0].entry.title, "A one");
  EXPECT_EQ((*shown)[1].entry.title, "A off");
  EXPECT_FALSE((*shown)[1].entry.enabled);
  EXPECT_EQ((*shown)[2].entry.title, "B one");
  EXPECT_EQ((*shown)[2].extension, "b.ext");

  std::string error;
  EXPECT_EQ(finder_.click(2, error), "B one");
  const auto click = b->nextOp("click");
  EXPECT_EQ(message::number(click, "menu"), message::number(rb, "id"));
  EXPECT_EQ(message::number(click, "index"), 0u);
  EXPECT_EQ(finder_.click(1, error), std::nullopt);
  EXPECT_NE(error.find("disabled"), std::string::npos);
  EXPECT_EQ(finder_.click(3, error), std::nullopt);
  EXPECT_TRUE(a->nextOp("click", 200ms).is_null());
  // An extension that has gone cannot be clicked.
  finder_.host().disconnect("b.ext");
  EXPECT_EQ(finder_.click(2, error), std::nullopt);
  EXPECT_NE(error.find("no longer running"), std::string::npos);
}

TEST_F(FinderTest, NoMenuWhenNobodyIsConcernedOrAnswersInTime) {
  auto ext = connect("x.ext");
  observe(*ext, {share_});
  std::optional<std::vector<host::MenuChoice>> shown;
  finder_.select({path("elsewhere")});
  finder_.menu(MenuKind::ContextualMenuForItems, [&](auto menu) { shown = std::move(menu); });
  ASSERT_TRUE(shown.has_value());  // nobody to ask: answered at once
  EXPECT_TRUE(shown->empty());
  std::string error;
  EXPECT_EQ(finder_.click(0, error), std::nullopt);

  finder_.setMenuTimeout(300ms);
  finder_.select({share_});
  shown.reset();
  finder_.menu(MenuKind::ContextualMenuForContainer, [&](auto menu) { shown = std::move(menu); });
  EXPECT_EQ(message::text(ext->nextOp("menu"), "kind"), "container");
  EXPECT_FALSE(serveUntil([&] { return shown.has_value(); }, 100ms));
  ASSERT_TRUE(serveUntil([&] { return shown.has_value(); }));
  EXPECT_TRUE(shown->empty());

  // The toolbar menu asks every extension, whatever the selection; a null answer is no menu.
  finder_.select({});
  shown.reset();
  finder_.menu(MenuKind::ToolbarItemMenu, [&](auto menu) { shown = std::move(menu); });
  const auto request = ext->nextOp("menu");
  ASSERT_FALSE(request.is_null());
  ext->send(message::menuReply(*message::number(request, "id"), std::nullopt));
  ASSERT_TRUE(serveUntil([&] { return shown.has_value(); }));
  EXPECT_TRUE(shown->empty());
}

TEST_F(FinderTest, AnExtensionThatGoesAwayTakesItsStateAlong) {
  auto ext = connect("x.ext");
  observe(*ext, {share_});
  badge(*ext, share_ + "/b-stub", "stub");
  ext->send(message::setBadgeImage("/i", "I", "stub"));
  ASSERT_TRUE(serveUntil([&] { return !finder_.host().badgeImages().empty(); }));
  std::optional<std::vector<host::MenuChoice>> shown;
  finder_.select({share_});
  finder_.menu(MenuKind::ContextualMenuForItems, [&](auto menu) { shown = std::move(menu); });
  ASSERT_FALSE(ext->nextOp("menu").is_null());
  ext->close();  // the process died
  ASSERT_TRUE(serveUntil([&] { return !finder_.host().isConnected("x.ext"); }));
  EXPECT_TRUE(finder_.host().observed().empty());
  EXPECT_EQ(finder_.host().badgeOf(share_ + "/b-stub"), "");
  EXPECT_TRUE(finder_.host().badgeImages().empty());
  // The menu waiting for it is answered without it.
  ASSERT_TRUE(shown.has_value());
  EXPECT_TRUE(shown->empty());
}

TEST_F(FinderTest, WaitBadgeAnswersWhenTheBadgeShowsOrAtTheDeadline) {
  auto ext = connect("x.ext");
  observe(*ext, {share_});
  std::optional<bool> first, second, none;
  finder_.waitBadge(share_ + "/b-stub", "stub", 5s, [&](bool ok) { first = ok; });
  finder_.waitBadge(share_ + "/a.txt", "stub", 200ms, [&](bool ok) { second = ok; });
  finder_.waitBadge(share_ + "/a.txt", "", 1s, [&](bool ok) { none = ok; });
  EXPECT_EQ(none, true);  // no badge is what it shows already
  EXPECT_FALSE(first.has_value());
  ext->send(message::setBadge("stub", share_ + "/b-stub"));
  ASSERT_TRUE(serveUntil([&] { return first.has_value() && second.has_value(); }));
  EXPECT_TRUE(*first);
  EXPECT_FALSE(*second);

  // A badge that goes with its window, its item or its extension is waited out too.
  std::string error;
  ASSERT_TRUE(finder_.open(share_, error));
  ASSERT_TRUE(finder_.open(path("share/sub"), error));
  badge(*ext, share_ + "/sub/inner-stub", "stub");
  badge(*ext, share_ + "/a.txt", "stub");
  std::optional<bool> closed, removed, ended;
  finder_.waitBadge(share_ + "/sub/inner-stub", "", 5s, [&](bool ok) { closed = ok; });
  finder_.waitBadge(share_ + "/a.txt", "", 5s, [&](bool ok) { removed = ok; });
  finder_.waitBadge(share_ + "/b-stub", "", 5s, [&](bool ok) { ended = ok; });
  ASSERT_TRUE(finder_.close(path("share/sub"), error));
  EXPECT_EQ(closed, true);
  std::filesystem::remove(share_ + "/a.txt");
  ASSERT_TRUE(serveUntil([&] { return removed.has_value(); }));
  EXPECT_TRUE(*removed);
  EXPECT_FALSE(ended.has_value());
  ext->close();
  ASSERT_TRUE(serveUntil([&] { return ended.has_value(); }));
  EXPECT_TRUE(*ended);
}

}  // namespace
}  // namespace pellora::finder
