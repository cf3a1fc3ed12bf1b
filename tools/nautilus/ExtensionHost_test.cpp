// The host against fake extension ends on socket pairs, and its supervisor against a small
// shell-script extension. Both live on the main run loop, served while the tests wait.
#include "ExtensionHost.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>

#include "ExtensionSupervisor.h"
#include "MessageSocket.h"
#include "RunLoopHostLoop.h"
#include "TempDir.h"
#include "bundle/PropertyList.h"
#include "findersync/Protocol.h"
#include "plugins/PluginRegistry.h"

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

  // Its end takes its badges, images and folders with it.
  observer_.changed.clear();
  ext->close();
  ASSERT_TRUE(serveUntil([&] { return !host_.isConnected("ext"); }));
  EXPECT_EQ(observer_.changed, (std::vector<std::string>{share_ + "/b.pdf"}));
  EXPECT_FALSE(host_.isObserved(a));
  EXPECT_FALSE(host_.imageFor("FileIconCache"));
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

// The supervisor runs the registry's extensions, connected to the host, and starts again one
// that dies; one switched off is stopped.
TEST(ExtensionSupervisorTest, RunsRelaunchesAndStopsTheRegisteredExtensions) {
  TempDir dir;
  const std::string bundle = dir / "Ext.appex";
  dir.write("Ext.appex/Contents/Info.plist",
            platform::bundle::writePropertyList(
                {{"CFBundleIdentifier", "test.ext"}, {"CFBundleExecutable", "ext"}}));
  // Reads until the host closes the connection.
  const std::string exe = dir.write("Ext.appex/Contents/MacOS/ext",
                                    "#!/bin/sh\nexec cat <&\"$PELLORA_FINDERSYNC_FD\" >/dev/null\n");
  ::chmod(exe.c_str(), 0755);
  platform::plugins::PluginRegistry registry(dir / "registry/registry.json");
  ASSERT_TRUE(registry.add(bundle));

  RunLoopHostLoop loop(RunLoop::main());
  RecordingObserver observer;
  ExtensionHost host(loop, observer);
  ExtensionSupervisor::Options options;
  options.registryFile = registry.file();
  options.relaunchDelay = 200ms;
  options.stopTimeout = 500ms;
  options.pollInterval = 60s;  // changes must be seen through the folder watch
  ExtensionSupervisor supervisor(loop, host, options);
  supervisor.start();
  auto pid = [&] {
    const auto list = supervisor.extensions();
    return list.size() == 1 ? list[0].pid : 0;
  };
  ASSERT_TRUE(loop.servePostedUntil([&] { return pid() != 0 && host.isConnected("test.ext"); }, 5s));
  const pid_t first = pid();
  ::kill(first, SIGKILL);
  ASSERT_TRUE(loop.servePostedUntil([&] { return pid() != 0 && pid() != first; }, 5s));
  EXPECT_TRUE(host.isConnected("test.ext"));

  const pid_t second = pid();
  ASSERT_TRUE(registry.setEnabled("test.ext", false));
  ASSERT_TRUE(loop.servePostedUntil([&] { return pid() == 0; }, 5s));
  EXPECT_FALSE(host.isConnected("test.ext"));
  EXPECT_NE(::kill(second, 0), 0);
}

}  // namespace
}  // namespace pellora::host
