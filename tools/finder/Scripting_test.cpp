// Finder's scripting socket end to end inside one process: the real client (platform's
// finderscript) against ScriptServer with Finder's dictionary on the main run loop, which the
// tests serve while the client blocks on another thread. View options and what listing reads,
// consent questions and decisions, and the command-line answers about both.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <future>

#include "Commands.h"
#include "ConsentStore.h"
#include "ExtensionSupervisor.h"
#include "Finder.h"
#include "RunLoopHostLoop.h"
#include "ScriptingTarget.h"
#include "TempDir.h"
#include "dispatch/RunLoop.h"
#include "finderscript/Connection.h"
#include "finderscript/Consent.h"
#include "finderscript/FinderApplication.h"
#include "finderscript/Protocol.h"
#include "finderscript/ScriptServer.h"
#include "log/Capture.h"

namespace pellora::finder {
namespace {

namespace script = platform::finderscript;
using namespace std::chrono_literals;
using pellora::testing::TempDir;
using platform::dispatch::RunLoop;

// Runs a blocking client call on another thread while the main loop serves Finder.
template <class F>
auto served(F call) {
  auto result = std::async(std::launch::async, std::move(call));
  RunLoop::main()->runUntil([&] { return result.wait_for(0s) == std::future_status::ready; },
                            10s);
  return result.get();
}

class ScriptingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = std::filesystem::canonical(dir_.path()).string();
    dir_.mkdir("share");
    share_ = root_ + "/share";
    dir_.write("share/a.txt", "some text");
    dir_.write("share/b-stub", "");
    dir_.mkdir("share/sub");
    dir_.mkdir("other");
    ASSERT_EQ(::mkfifo((share_ + "/pipe").c_str(), 0600), 0);
    std::string error;
    ASSERT_TRUE(server_.start(error)) << error;
    finderApp_ = script::FinderApplication::applicationAtSocket(socket_);
    finderApp_->setTimeout(5s);
  }

  // The words of a command line, as the daemon answers them.
  CommandResult command(const std::vector<std::string>& args) {
    CommandResult result{-1, {}, {}};
    commands_.execute(args, [&](CommandResult r) { result = std::move(r); });
    return result;
  }

  std::shared_ptr<script::FinderViewOptions> iconOptions(const std::string& folder) {
    return served([&] {
      const auto window = finderApp_->folders().objectAtLocation(folder)->containerWindow();
      return window ? window->iconViewOptions() : nullptr;
    });
  }

  TempDir dir_;
  std::string root_;
  std::string share_;
  std::string socket_ = dir_.path() + "/finder/scripting.sock";
  host::RunLoopHostLoop loop_{RunLoop::main()};
  Finder finder_{loop_};
  ConsentStore consent_{dir_.path() + "/config/consent.json"};
  host::ExtensionSupervisor supervisor_{loop_, finder_.host(), {dir_.path() + "/registry.json"}};
  Commands commands_{finder_, supervisor_, consent_, [] {}};
  ScriptingTarget target_{finder_.viewOptions(), consent_};
  script::ScriptServer server_{socket_, RunLoop::main(), target_.handlers()};
  std::shared_ptr<script::FinderApplication> finderApp_;
};

TEST_F(ScriptingTest, ScriptedPreviewsDecideWhatListingReads) {
  // Finder's defaults: every view previews, and listing reads each file (not the folder, and a
  // FIFO does not hold it up).
  EXPECT_EQ(command({"view-options", share_}).out,
            "list\tshowsIconPreview=on\tshowsPreviewColumn=on\n"
            "column\tshowsIconPreview=on\tshowsPreviewColumn=on\n"
            "icon\tshowsIconPreview=on\tshowsPreviewColumn=on\n");
  ASSERT_TRUE(finder_.list(share_));
  EXPECT_EQ(finder_.previewsMade(), 2u);

  const auto icon = iconOptions(share_ + "/");
  ASSERT_NE(icon, nullptr);
  EXPECT_EQ(icon->className(), "icon view options");
  EXPECT_TRUE(icon->respondsTo("showsIconPreview"));
  EXPECT_EQ(served([&] { return icon->showsIconPreview(); }), true);
  EXPECT_TRUE(served([&] {
    return icon->setShowsIconPreview(false) && icon->setShowsPreviewColumn(false);
  }));
  EXPECT_EQ(served([&] { return icon->showsIconPreview(); }), false);
  EXPECT_EQ(command({"view-options", share_}).out,
            "list\tshowsIconPreview=on\tshowsPreviewColumn=on\n"
            "column\tshowsIconPreview=on\tshowsPreviewColumn=on\n"
            "icon\tshowsIconPreview=off\tshowsPreviewColumn=off\n");

  // Off: listing reads nothing; another folder keeps Finder's defaults.
  ASSERT_TRUE(finder_.list(share_));
  EXPECT_EQ(finder_.previewsMade(), 2u);
  dir_.write("other/c.txt", "x");
  ASSERT_TRUE(finder_.list(root_ + "/other"));
  EXPECT_EQ(finder_.previewsMade(), 3u);

  // On again.
  EXPECT_TRUE(served([&] { return icon->setShowsIconPreview(true); }));
  ASSERT_TRUE(finder_.list(share_));
  EXPECT_EQ(finder_.previewsMade(), 5u);
  EXPECT_EQ(command({"view-options", root_ + "/share/a.txt"}).status, 1);
}

TEST_F(ScriptingTest, WhatFinderCannotResolveIsAnError) {
  platform::log::Capture capture;
  EXPECT_EQ(iconOptions(root_ + "/missing"), nullptr);
  EXPECT_EQ(iconOptions(share_ + "/a.txt"), nullptr);
  EXPECT_EQ(iconOptions("relative/folder"), nullptr);
  EXPECT_EQ(capture.count("(-1728)"), 3u);

  script::Connection connection(socket_);
  const auto window =
      script::message::propertyOf("containerWindow", script::message::folderAt(share_));
  const auto icon = script::message::propertyOf("iconViewOptions", window);
  EXPECT_EQ(served([&] { return connection.get(window, "showsIconPreview").code; }),
            script::errAENoSuchObject);
  EXPECT_EQ(served([&] { return connection.set(icon, "iconSize", true).code; }),
            script::errAENoSuchObject);
  EXPECT_EQ(served([&] { return connection.set(icon, "showsIconPreview", 1).code; }),
            script::errAEEventFailed);
  EXPECT_EQ(served([&] { return connection.get({{"nonsense", 1}}, "x").code; }),
            script::errAEEventFailed);
  EXPECT_TRUE(finder_.viewOptions().get(share_).icon.showsIconPreview) << "nothing was set";
}

TEST_F(ScriptingTest, AQuestionWaitsForTheUserAndTheDecisionOutlastsFinder) {
  const script::AEAddressDesc finderTarget{script::kFinderBundleIdentifier};
  script::Connection connection(socket_);
  const auto check = [&](bool ask) {
    return served([&] {
      return script::determinePermissionToAutomateTarget(connection, finderTarget, "****",
                                                         "****", ask);
    });
  };
  EXPECT_EQ(check(false), script::errAEEventWouldRequireUserConsent);

  auto asked = std::async(std::launch::async, [&] {
    script::Connection own(socket_);
    return script::determinePermissionToAutomateTarget(own, finderTarget, "****", "****", true);
  });
  ASSERT_TRUE(RunLoop::main()->runUntil([&] { return !consent_.pending().empty(); }, 5s));
  const std::string self = std::filesystem::read_symlink("/proc/self/exe");
  EXPECT_EQ(command({"consent"}).out,
            "question\t1\t" + self + "\t" + std::to_string(::getpid()) + "\n");
  EXPECT_EQ(asked.wait_for(0s), std::future_status::timeout);
  EXPECT_EQ(command({"consent", "allow", "2"}).status, 1) << "no such question";
  EXPECT_EQ(command({"consent", "allow", "99999999999999999999999"}).status, 1);

  EXPECT_EQ(command({"consent", "allow", "1"}).status, 0);
  EXPECT_EQ(asked.get(), script::noErr);
  EXPECT_EQ(check(false), script::noErr);
  EXPECT_EQ(command({"consent"}).out, "allow\t" + self + "\n");

  // Another Finder on the same file knows the decision.
  ConsentStore later(consent_.file());
  EXPECT_EQ(later.decision(self), Decision::Allow);
}

TEST_F(ScriptingTest, ADeniedProgramCannotScriptFinder) {
  const std::string self = std::filesystem::read_symlink("/proc/self/exe");
  ASSERT_EQ(command({"consent", "deny", self}).status, 0);
  script::Connection connection(socket_);
  EXPECT_EQ(served([&] {
              return script::determinePermissionToAutomateTarget(
                  connection, {script::kFinderBundleIdentifier}, "****", "****", true);
            }),
            script::errAEEventNotPermitted);
  platform::log::Capture capture;
  EXPECT_EQ(iconOptions(share_), nullptr);
  EXPECT_TRUE(capture.contains("(-1743)"));
  // Asking about another application than Finder: Finder cannot answer for it.
  EXPECT_EQ(served([&] {
              return script::determinePermissionToAutomateTarget(
                  connection, {"com.example.other"}, "****", "****", false);
            }),
            script::procNotFound);
}

TEST_F(ScriptingTest, AQuestionGoesWhenNobodyWaitsForItsAnswer) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strcpy(addr.sun_path, socket_.c_str());
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  const std::string line =
      script::message::encode(script::message::consent(7, script::kFinderBundleIdentifier,
                                                       "****", "****", true)) +
      "\n";
  ASSERT_EQ(::send(fd, line.data(), line.size(), MSG_NOSIGNAL), static_cast<ssize_t>(line.size()));
  ASSERT_TRUE(RunLoop::main()->runUntil([&] { return consent_.pending().size() == 1; }, 5s));
  ::close(fd);
  EXPECT_TRUE(RunLoop::main()->runUntil([&] { return consent_.pending().empty(); }, 5s));
  EXPECT_TRUE(consent_.decisions().empty());
}

TEST(ViewOptionsStore, AFolderScriptedOnceKeepsTheDefaultsOfItsOtherViews) {
  ViewOptionsStore store({false, false});
  EXPECT_FALSE(store.showsPreviews("/a"));
  ASSERT_TRUE(store.setProperty("/a", View::List, "showsIconPreview", true));
  EXPECT_FALSE(store.setProperty("/a", View::List, "iconSize", true));
  const auto a = store.get("/a");
  EXPECT_TRUE(a.list.showsIconPreview);
  EXPECT_FALSE(a.list.showsPreviewColumn);
  EXPECT_FALSE(a.icon.showsIconPreview) << "the other views keep the defaults";
  EXPECT_FALSE(store.showsPreviews("/a"));
  EXPECT_TRUE(ViewOptionsStore().showsPreviews("/a")) << "Finder's own defaults preview";
}

}  // namespace
}  // namespace pellora::finder
