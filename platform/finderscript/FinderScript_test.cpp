// The scripting client against a scripting target served by ScriptServer on a thread of its own:
// the calls and their specifiers, references and what they know, failures (an object Finder
// cannot resolve, a target that hangs, none at all, another user), consent, and who the peer is.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <future>
#include <map>
#include <mutex>
#include <thread>

#include "TempDir.h"
#include "Wait.h"
#include "finderscript/Connection.h"
#include "finderscript/Consent.h"
#include "finderscript/FinderApplication.h"
#include "finderscript/Peer.h"
#include "finderscript/Protocol.h"
#include "finderscript/ScriptServer.h"
#include "log/Capture.h"

namespace platform::finderscript {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using pellora::testing::TempDir;
using pellora::testing::waitUntil;

// A ScriptServer on a run loop of its own thread.
class ServerThread {
 public:
  ServerThread(const std::string& path, ScriptServer::Handlers handlers,
               ScriptServer::Options options = {}) {
    std::promise<bool> started;
    thread_ = std::thread([&, path, handlers, options] {
      loop_ = dispatch::RunLoop::current();
      auto server = std::make_unique<ScriptServer>(path, loop_, handlers, options);
      std::string error;
      const bool ok = server->start(error);
      started.set_value(ok);
      if (ok) loop_->run();
      server.reset();
    });
    ok_ = started.get_future().get();
  }
  ~ServerThread() {
    if (loop_) loop_->stop();
    thread_.join();
  }
  bool ok() const { return ok_; }
  // Runs work on the server's thread and waits for it.
  void sync(const std::function<void()>& work) {
    std::promise<void> done;
    loop_->perform([&] {
      work();
      done.set_value();
    });
    done.get_future().wait();
  }

 private:
  std::thread thread_;
  std::shared_ptr<dispatch::RunLoop> loop_;
  bool ok_ = false;
};

// A small Finder: folders are the paths in `folders`; every folder has a window with three
// view options, whose known properties and values are kept here. Remembers every request.
struct FakeFinder {
  std::mutex mutex;
  std::vector<std::string> folders;
  std::map<std::string, std::vector<std::string>> properties{
      {"list", {"showsIconPreview", "showsPreviewColumn"}},
      {"column", {"showsIconPreview", "showsPreviewColumn"}},
      {"icon", {"showsIconPreview", "showsPreviewColumn"}}};
  std::map<std::string, bool> values;  // "<folder> <view> <property>" -> value
  std::vector<json> requests;
  std::vector<Peer> peers;
  bool hang = false;
  std::vector<ScriptServer::Reply> held;
  int consentAnswer = noErr;

  ScriptServer::Handlers handlers() {
    ScriptServer::Handlers h;
    h.request = [this](uint64_t, const Peer& peer, const json& request, ScriptServer::Reply reply) {
      std::lock_guard lock(mutex);
      requests.push_back(request);
      peers.push_back(peer);
      if (hang) {
        held.push_back(std::move(reply));
        return;
      }
      reply(answer(request));
    };
    return h;
  }

  // The view ("list", "column", "icon") and folder a specifier names, if it names view options.
  static bool viewOptions(const json& object, std::string& folder, std::string& view) {
    const auto options = message::parseSpecifier(object);
    if (!options || options->folder) return false;
    const auto window = message::parseSpecifier(options->of);
    if (!window || window->folder || window->property != "containerWindow") return false;
    const auto f = message::parseSpecifier(window->of);
    if (!f || !f->folder) return false;
    folder = *f->folder;
    view = options->property.substr(0, options->property.find("ViewOptions"));
    return true;
  }

  json answer(const json& request) {
    const uint64_t id = *message::id(request);
    const std::string op = message::text(request, "op");
    if (op == "consent") return message::result(id, consentAnswer);
    const std::string property = message::text(request, "property");
    const json& object = request["object"];
    const auto parsed = message::parseSpecifier(object);
    if (parsed && parsed->folder && property == "containerWindow") {
      if (std::find(folders.begin(), folders.end(), *parsed->folder) == folders.end()) {
        return message::error(id, errAENoSuchObject, "Finder can't get folder " + *parsed->folder);
      }
      return message::result(
          id, message::reference(message::propertyOf(property, object), "window",
                                 {"listViewOptions", "columnViewOptions", "iconViewOptions"}));
    }
    if (parsed && !parsed->folder && parsed->property == "containerWindow") {
      const std::string view = property.substr(0, property.find("ViewOptions"));
      return message::result(id, message::reference(message::propertyOf(property, object),
                                                    view + " view options", properties[view]));
    }
    std::string folder, view;
    if (viewOptions(object, folder, view)) {
      const std::string key = folder + " " + view + " " + property;
      if (op == "set") {
        values[key] = request["value"].get<bool>();
        return message::result(id, nullptr);
      }
      return message::result(id, values.count(key) ? values[key] : true);
    }
    return message::error(id, errAEEventFailed, "not understood");
  }

  size_t requestCount() {
    std::lock_guard lock(mutex);
    return requests.size();
  }
};

class FinderScript : public ::testing::Test {
 protected:
  std::string socketPath() const { return dir.path() + "/finder/scripting.sock"; }

  TempDir dir;
  FakeFinder finder;
};

TEST_F(FinderScript, FromAFolderToItsViewOptionsAndTheirPreviews) {
  finder.folders = {"/share/docs"};
  ServerThread server(socketPath(), finder.handlers());
  ASSERT_TRUE(server.ok());
  const auto app = FinderApplication::applicationAtSocket(socketPath());

  // Naming a folder asks nothing; its window is one call.
  const auto folder = app->folders().objectAtLocation("file:///share/docs");
  EXPECT_EQ(finder.requestCount(), 0u);
  const auto window = folder->containerWindow();
  ASSERT_NE(window, nullptr);
  EXPECT_EQ(window->className(), "window");
  EXPECT_EQ(finder.requestCount(), 1u);

  const auto list = window->listViewOptions();
  const auto column = window->columnViewOptions();
  const auto icon = window->iconViewOptions();
  ASSERT_TRUE(list && column && icon);
  EXPECT_EQ(list->className(), "list view options");
  EXPECT_EQ(icon->className(), "icon view options");
  EXPECT_TRUE(icon->respondsTo("showsIconPreview"));
  EXPECT_FALSE(icon->respondsTo("showsItemInfo"));

  EXPECT_EQ(icon->showsIconPreview(), true);
  EXPECT_TRUE(icon->setShowsIconPreview(false));
  EXPECT_TRUE(icon->setShowsPreviewColumn(false));
  EXPECT_EQ(icon->showsIconPreview(), false);

  std::lock_guard lock(finder.mutex);
  EXPECT_EQ(finder.values.size(), 2u);
  EXPECT_FALSE(finder.values.at("/share/docs icon showsPreviewColumn"));
  // Every request went over the one connection, numbered afresh.
  std::set<uint64_t> ids;
  for (const auto& r : finder.requests) ids.insert(*message::id(r));
  EXPECT_EQ(ids.size(), finder.requests.size());
  EXPECT_EQ(finder.requests.front()["object"], message::folderAt("/share/docs"));
}

TEST_F(FinderScript, WhatFinderCannotResolveOrDoesNotKnowAnswersNothing) {
  finder.folders = {"/share"};
  finder.properties["list"] = {"iconSize"};
  ServerThread server(socketPath(), finder.handlers());
  ASSERT_TRUE(server.ok());
  const auto app = FinderApplication::applicationAtSocket(socketPath());
  log::Capture capture;

  EXPECT_EQ(app->folders().objectAtLocation("/share/gone")->containerWindow(), nullptr);
  EXPECT_TRUE(capture.contains("Finder can't get folder /share/gone (-1728)"));

  const auto list = app->folders().objectAtLocation("/share")->containerWindow()->listViewOptions();
  ASSERT_NE(list, nullptr);
  EXPECT_FALSE(list->respondsTo("showsIconPreview"));
}

TEST_F(FinderScript, AHungFinderTimesOutAndTheNextCallStartsAfresh) {
  finder.folders = {"/share"};
  finder.hang = true;
  ServerThread server(socketPath(), finder.handlers());
  ASSERT_TRUE(server.ok());
  const auto app = FinderApplication::applicationAtSocket(socketPath());
  app->setTimeout(200ms);
  log::Capture capture;

  EXPECT_EQ(app->folders().objectAtLocation("/share")->containerWindow(), nullptr);
  EXPECT_TRUE(capture.contains("no answer in time (-1712)"));

  // The late answer to the first call must not be taken for the answer to the next one.
  {
    std::lock_guard lock(finder.mutex);
    finder.hang = false;
    for (auto& reply : finder.held) {
      reply(message::error(*message::id(finder.requests.front()), errAENoSuchObject, "late"));
    }
  }
  EXPECT_NE(app->folders().objectAtLocation("/share")->containerWindow(), nullptr);
  EXPECT_FALSE(capture.contains("late"));
}

TEST_F(FinderScript, AFinderStartedAgainAnswersTheNextCall) {
  finder.folders = {"/share"};
  const auto app = FinderApplication::applicationAtSocket(socketPath());
  const auto folder = app->folders().objectAtLocation("/share");
  {
    ServerThread server(socketPath(), finder.handlers());
    ASSERT_TRUE(server.ok());
    EXPECT_NE(folder->containerWindow(), nullptr);
  }
  ServerThread again(socketPath(), finder.handlers());
  ASSERT_TRUE(again.ok());
  EXPECT_NE(folder->containerWindow(), nullptr);
}

TEST_F(FinderScript, WithoutFinderEveryCallFailsAtOnce) {
  const auto app = FinderApplication::applicationAtSocket(socketPath());
  log::Capture capture;
  EXPECT_EQ(app->folders().objectAtLocation("/share")->containerWindow(), nullptr);
  EXPECT_TRUE(capture.contains("(-600)"));

  Connection connection(socketPath());
  const auto target = targetForBundleIdentifier(kFinderBundleIdentifier);
  ASSERT_TRUE(target);
  EXPECT_EQ(determinePermissionToAutomateTarget(connection, *target, typeWildCard, typeWildCard,
                                                true),
            procNotFound);
  EXPECT_EQ(FinderApplication::applicationWithBundleIdentifier("com.example.other"), nullptr);
  EXPECT_FALSE(targetForBundleIdentifier(""));
  EXPECT_EQ(determinePermissionToAutomateTarget(AEAddressDesc{"com.example.other"}, typeWildCard,
                                                typeWildCard, false),
            procNotFound);
}

TEST_F(FinderScript, OnlyTheTargetsUserIsServedThroughAPrivateFolder) {
  std::filesystem::create_directories(dir.path() + "/finder");
  ::chmod((dir.path() + "/finder").c_str(), 0755);
  ScriptServer::Options options;
  options.allowedUid = ::geteuid() + 1;
  ServerThread server(socketPath(), finder.handlers(), options);
  ASSERT_TRUE(server.ok());
  struct stat folder {}, socket {};
  ASSERT_EQ(::stat((dir.path() + "/finder").c_str(), &folder), 0);
  ASSERT_EQ(::stat(socketPath().c_str(), &socket), 0);
  EXPECT_EQ(folder.st_mode & 07777, 0700u);
  EXPECT_EQ(socket.st_mode & 07777, 0600u);

  log::Capture capture;
  const auto app = FinderApplication::applicationAtSocket(socketPath());
  EXPECT_EQ(app->folders().objectAtLocation("/share")->containerWindow(), nullptr);
  EXPECT_TRUE(capture.contains("Refusing a scripting connection from uid " +
                               std::to_string(::geteuid())));
  EXPECT_EQ(finder.requestCount(), 0u);
}

TEST_F(FinderScript, ASecondTargetOnALiveSocketIsRefused) {
  ServerThread first(socketPath(), finder.handlers());
  ASSERT_TRUE(first.ok());
  ServerThread second(socketPath(), finder.handlers());
  EXPECT_FALSE(second.ok());
  // The first still serves.
  {
    std::lock_guard lock(finder.mutex);
    finder.folders = {"/share"};
  }
  EXPECT_NE(FinderApplication::applicationAtSocket(socketPath())
                ->folders()
                .objectAtLocation("/share")
                ->containerWindow(),
            nullptr);
}

TEST_F(FinderScript, ConsentIsAskedOfTheTargetWhichSeesWhoAsks) {
  ServerThread server(socketPath(), finder.handlers());
  ASSERT_TRUE(server.ok());
  Connection connection(socketPath());
  const AEAddressDesc finderTarget{kFinderBundleIdentifier};
  for (const int answer : {noErr, errAEEventWouldRequireUserConsent, errAEEventNotPermitted}) {
    {
      std::lock_guard lock(finder.mutex);
      finder.consentAnswer = answer;
    }
    EXPECT_EQ(determinePermissionToAutomateTarget(connection, finderTarget, typeWildCard,
                                                  typeWildCard, answer != noErr),
              answer);
  }
  std::lock_guard lock(finder.mutex);
  ASSERT_EQ(finder.requests.size(), 3u);
  const json& asked = finder.requests[1];
  EXPECT_EQ(message::text(asked, "target"), kFinderBundleIdentifier);
  EXPECT_EQ(message::text(asked, "eventClass"), "****");
  EXPECT_EQ(message::boolean(asked, "ask"), true);
  EXPECT_EQ(message::boolean(finder.requests[0], "ask"), false);
  // Who asks comes from the kernel and /proc, not from the request.
  EXPECT_EQ(finder.peers[0].pid, ::getpid());
  EXPECT_EQ(finder.peers[0].uid, ::geteuid());
  EXPECT_EQ(finder.peers[0].executable, std::filesystem::read_symlink("/proc/self/exe"));
  EXPECT_FALSE(finder.peers[0].bundleIdentifier);
  EXPECT_EQ(finder.peers[0].identity(), finder.peers[0].executable);
}

TEST_F(FinderScript, AConsentQuestionWaitsForTheAnswerWithoutATimeOut) {
  finder.hang = true;
  ServerThread server(socketPath(), finder.handlers());
  ASSERT_TRUE(server.ok());
  Connection connection(socketPath());
  connection.setTimeout(50ms);
  auto asked = std::async(std::launch::async, [&] {
    return determinePermissionToAutomateTarget(connection, AEAddressDesc{kFinderBundleIdentifier},
                                               typeWildCard, typeWildCard, true,
                                               ConsentOptions{50ms});
  });
  ASSERT_TRUE(waitUntil([&] { return finder.requestCount() == 1; }));
  // Well past both time-outs, the question still waits for the user.
  EXPECT_EQ(asked.wait_for(300ms), std::future_status::timeout);
  {
    std::lock_guard lock(finder.mutex);
    finder.held.at(0)(message::result(*message::id(finder.requests[0]), noErr));
  }
  EXPECT_EQ(asked.get(), noErr);
}

TEST(FinderScriptPeer, TheBundleIsFoundFromTheExecutable) {
  TempDir dir;
  const std::string bundle = dir.path() + "/Probe.app";
  std::filesystem::create_directories(bundle + "/Contents/MacOS");
  std::filesystem::copy_file("/bin/sleep", bundle + "/Contents/MacOS/Probe");
  dir.write("Probe.app/Contents/Info.plist",
            "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict>"
            "<key>CFBundleIdentifier</key><string>com.example.probe</string>"
            "</dict></plist>");
  const pid_t pid = ::fork();
  if (pid == 0) {
    const std::string exe = bundle + "/Contents/MacOS/Probe";
    ::execl(exe.c_str(), "Probe", "30", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ASSERT_GT(pid, 0);
  const std::string exe = bundle + "/Contents/MacOS/Probe";
  ASSERT_TRUE(waitUntil([&] { return describeProcess(pid, 0).executable == exe; }));
  const Peer peer = describeProcess(pid, 0);
  EXPECT_EQ(peer.bundlePath, bundle);
  EXPECT_EQ(peer.bundleIdentifier, "com.example.probe");
  EXPECT_EQ(peer.identity(), "com.example.probe");
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
  EXPECT_EQ(describeProcess(pid, 0).identity(), "") << "a process that is gone is nobody";
}

TEST(FinderScriptURL, FileURLsArePaths) {
  EXPECT_EQ(pathOfURL("file:///a%20b/c%C3%A9"), "/a b/c\xC3\xA9");
  EXPECT_EQ(pathOfURL("file://localhost/x"), "/x");
  EXPECT_EQ(pathOfURL("/plain/path%20"), "/plain/path%20");
  EXPECT_EQ(pathOfURL("file:///bad%2"), "/bad%2");
}

}  // namespace
}  // namespace platform::finderscript
