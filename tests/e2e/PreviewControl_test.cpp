// Preview control and share monitoring over real processes, each in a temporary home: the
// simulated gateway share, the service started from its bundle, the Finder stand-in, and the
// Finder extension that Finder runs from the service's bundle. The service switches the previews
// of every share folder the user opens to the choice in the communication file (off until it
// says otherwise), and follows shares mounted and unmounted while it runs.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>

#include "FinderStandIn.h"
#include "GatewaySim.h"
#include "LineClient.h"
#include "PortFile.h"
#include "TestProcess.h"
#include "Wait.h"
#include "ZVFileManager.h"
#include "xattr/Xattr.h"

namespace pellora::testing {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

constexpr const char* kPreviewsOff =
    "list\tshowsIconPreview=off\tshowsPreviewColumn=off\n"
    "column\tshowsIconPreview=off\tshowsPreviewColumn=off\n"
    "icon\tshowsIconPreview=off\tshowsPreviewColumn=off\n";
constexpr const char* kPreviewsOn =
    "list\tshowsIconPreview=on\tshowsPreviewColumn=on\n"
    "column\tshowsIconPreview=on\tshowsPreviewColumn=on\n"
    "icon\tshowsIconPreview=on\tshowsPreviewColumn=on\n";

size_t occurrences(const std::string& text, const std::string& what) {
  size_t count = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++count;
  return count;
}

class PreviewControlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "mounting the simulated share needs root";
    finder.setEnv("PELLORA_USER_DB_HOME", finder.home());
    // The communication file as the application finds it: in the service's data folder.
    ::setenv("XDG_DATA_HOME", finder.data().c_str(), 1);
  }

  void TearDown() override {
    if (HasFailure()) {
      std::cerr << "Service log:\n" << service.log() << "\nFinder log:\n" << finder.log() << "\n";
    }
    service.stop();
    ::unsetenv("XDG_DATA_HOME");
  }

  // Mounts the share, starts Finder with the extension and the service; returns when the
  // extension observes the share.
  void startAll() {
    ASSERT_TRUE(sim.mount());
    ASSERT_TRUE(finder.start());
    ASSERT_EQ(finder.pluginkit({"-a", PELLORA_EXTENSION_BUNDLE}).status, 0);
    ASSERT_TRUE(service.start({PELLORA_SERVICE_PATH},
                              {{"HOME", finder.home()}, {"XDG_CONFIG_HOME", finder.config()},
                               {"XDG_DATA_HOME", finder.data()}, {"PELLORA_LOG", "stderr"},
                               // Started by hand, not as a login item that would wait in standby.
                               {"XPC_SERVICE_NAME", ""}},
                              finder.root() + "/service.log"));
    ASSERT_TRUE(waitUntil([&] { return observed().find(sim.mountPoint()) != std::string::npos; }, 20s))
        << observed();
  }

  std::string run(const std::vector<std::string>& args) {
    const auto r = finder.run(args);
    EXPECT_EQ(r.status, 0) << args.at(0) << ": " << r.err;
    return r.out;
  }
  std::string observed() { return finder.run({"observed"}).out; }
  std::string viewOptions(const std::string& folder) { return run({"view-options", folder}); }
  // Scripting follows an opened folder asynchronously: wait for its outcome.
  bool viewOptionsBecome(const std::string& folder, const std::string& expected) {
    const bool became = waitUntil([&] { return viewOptions(folder) == expected; }, 15s);
    EXPECT_EQ(viewOptions(folder), expected) << folder;
    return became;
  }
  bool serviceLogged(const std::string& line, size_t times = 1) {
    return waitUntil([&] { return occurrences(service.log(), line) >= times; }, 15s);
  }

  // What the gateway counts of content leaving the cloud.
  json hydration() {
    auto counters = sim.counters();
    return {{"downloadReads", counters["downloadReads"]},
            {"downloads", counters["downloads"]},
            {"contentReads", counters["contentReads"]}};
  }
  bool stillStub(const std::string& path) {
    char value[8] = {};
    return platform::xattr::get(path, "is.zavro.stub", value, sizeof value, 0, 0) == 5;
  }
  // Lists folder in Finder, which previews its files while its icon view does.
  void expectListingHydratesNothing(const std::string& folder, const std::vector<std::string>& stubs) {
    const json before = hydration();
    run({"ls", folder});
    EXPECT_EQ(hydration(), before) << folder;
    for (const auto& stub : stubs) EXPECT_TRUE(stillStub(stub)) << stub;
  }

  // Replaces the communication file as the application does: removed, then written anew.
  static void writeCommunicationFile(const std::string& bytes) {
    const auto file = ZVFileManager().communicationFileURL();
    ASSERT_TRUE(file);
    std::filesystem::remove(*file);
    std::ofstream(*file, std::ios::binary) << bytes;
  }

  GatewaySim sim;
  // Finder's defaults: a folder nobody scripted shows previews.
  FinderStandIn finder;
  TestProcess service;
};

TEST_F(PreviewControlTest, OpenedShareFoldersGetThePreviewChoiceOfTheCommunicationFile) {
  const std::string a1 = sim.addStub("first/a1.jpg", "first picture");
  const std::string a2 = sim.addStub("first/a2.mov", "first film");
  const std::string b1 = sim.addStub("second/b1.jpg", "second picture");
  const std::string c1 = sim.addStub("third/c1.jpg", "third picture");
  const std::string first = sim.path("first"), second = sim.path("second"), third = sim.path("third");
  startAll();
  ASSERT_FALSE(std::filesystem::exists(*ZVFileManager().communicationFileURL()));

  // No choice written: the folder opened gets its previews switched off, and listing it reads
  // no stub.
  run({"open", first});
  ASSERT_TRUE(viewOptionsBecome(first, kPreviewsOff));
  expectListingHydratesNothing(first, {a1, a2});

  // A file that cannot be decoded is noticed and changes nothing: the next folder opened gets
  // its previews off too.
  const size_t eventsBefore = occurrences(service.log(), "FileChangeEvent");
  writeCommunicationFile("{\"previewEnabled\":\"yes\"}");
  ASSERT_TRUE(serviceLogged("FileChangeEvent", eventsBefore + 1));
  ASSERT_TRUE(serviceLogged("isn't in the correct format"));
  run({"open", second});
  ASSERT_TRUE(viewOptionsBecome(second, kPreviewsOff));
  expectListingHydratesNothing(second, {b1});
  EXPECT_EQ(service.log().find("Preview stated enabled updated to"), std::string::npos);

  // The application writes the choice enabled: a folder opened afterwards shows previews; the
  // first keeps them off until it is opened again.
  ZVFileManager().setPreviewStateEnabled(true);
  ASSERT_TRUE(serviceLogged("Preview stated enabled updated to true"));
  run({"open", third});
  EXPECT_EQ(viewOptions(first), kPreviewsOff);
  expectListingHydratesNothing(first, {a1, a2});
  run({"close", first});
  run({"open", first});
  ASSERT_TRUE(viewOptionsBecome(first, kPreviewsOn));
  // Opened before the first folder was opened again (untouched it would look the same).
  EXPECT_EQ(viewOptions(third), kPreviewsOn);
  EXPECT_EQ(viewOptions(second), kPreviewsOff);
  run({"ls", first});
  run({"ls", third});
  const auto downloads = sim.counters()["downloads"];
  for (const char* rel : {"first/a1.jpg", "first/a2.mov", "third/c1.jpg"}) {
    EXPECT_EQ(downloads.value(rel, 0), 1) << rel;
  }
  EXPECT_TRUE(stillStub(b1));
  EXPECT_EQ(service.stop(), 0);
}

// A client connected as an extension: every filter-paths push in order.
class ExtensionClient {
 public:
  explicit ExtensionClient(const std::string& home) {
    std::optional<PortFile::Content> content;
    EXPECT_TRUE(waitUntil([&] { return (content = PortFile(home).read()).has_value(); }));
    if (!content) return;
    client_ = std::make_unique<LineClient>(content->port);
    client_->send(content->token);
    opening_ = client_->readFrame();
    EXPECT_TRUE(opening_ && client_->readFrame());  // the watch list, the badge image
  }

  const std::optional<std::string>& opening() const { return opening_; }

  // The paths of the next filter-paths push, sorted; frames of other kinds on the way are
  // handed to other (when given). Nothing when no push comes before the timeout.
  std::optional<std::vector<std::string>> nextPush(const std::function<void(const json&)>& other = {},
                                                   std::chrono::milliseconds timeout = 20s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (client_ && std::chrono::steady_clock::now() < deadline) {
      const auto frame = client_->readFrame(200ms);
      if (!frame || frame->empty()) continue;
      const auto message = json::parse(*frame, nullptr, false);
      if (message.is_discarded()) continue;
      if (message.value("command", "") != "setFilterPaths") {
        if (other) other(message);
        continue;
      }
      auto paths = message["value"].get<std::vector<std::string>>();
      std::sort(paths.begin(), paths.end());
      return paths;
    }
    return std::nullopt;
  }

  // Reads until a badge push names path with badge; false when a filter-paths push comes first
  // or nothing before the timeout.
  bool badgePushedBeforeAnyFilterPaths(const std::string& path, const std::string& badge) {
    bool seen = false;
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (client_ && !seen && std::chrono::steady_clock::now() < deadline) {
      const auto frame = client_->readFrame(200ms);
      if (!frame || frame->empty()) continue;
      const auto message = json::parse(*frame, nullptr, false);
      if (message.is_discarded()) continue;
      if (message.value("command", "") == "setFilterPaths") {
        ADD_FAILURE() << "filter paths pushed again: " << *frame;
        return false;
      }
      seen = message.value("command", "") == "setFileIcons" && message["value"].value(path, "") == badge;
    }
    return seen;
  }

 private:
  std::unique_ptr<LineClient> client_;
  std::optional<std::string> opening_;
};

TEST_F(PreviewControlTest, AShareMountedWhileTheServiceRunsIsWatchedUntilItIsUnmounted) {
  startAll();
  ExtensionClient client(finder.home());
  ASSERT_TRUE(client.opening());
  ASSERT_NE(client.opening()->find(sim.mountPoint()), std::string::npos) << *client.opening();

  GatewaySim second;
  const std::string stub = second.addStub("new/report.pdf", "the report");
  ASSERT_TRUE(second.mount());
  std::vector<std::string> both{sim.mountPoint(), second.mountPoint()};
  std::sort(both.begin(), both.end());
  EXPECT_EQ(client.nextPush(), both);
  EXPECT_TRUE(waitUntil([&] { return observed().find(second.mountPoint()) != std::string::npos; }, 15s))
      << observed();
  // Its watcher follows the gateway: the stub brought online loses its badge. Between the two,
  // the mount's push stays the only one (the permission check that follows a mount re-sends
  // nothing).
  char digit[2] = {};
  ASSERT_EQ(platform::xattr::get(stub, "zavro.download.file", digit, sizeof digit, 0, 0), 1);
  EXPECT_TRUE(client.badgePushedBeforeAnyFilterPaths(stub, "FileIconNone"));
  EXPECT_TRUE(serviceLogged("Monitoring path:" + second.mountPoint()));

  // Unmounted: one push without it, its watcher gone; the last share's push holds one empty
  // path.
  ASSERT_TRUE(second.unmount()) << second.log();
  EXPECT_EQ(client.nextPush(), std::vector<std::string>{sim.mountPoint()});
  EXPECT_TRUE(serviceLogged("Stopped monitoring path:" + second.mountPoint()));
  EXPECT_TRUE(waitUntil([&] { return observed().find(second.mountPoint()) == std::string::npos; }, 15s))
      << observed();
  ASSERT_TRUE(sim.unmount()) << sim.log();
  EXPECT_EQ(client.nextPush(), std::vector<std::string>{""});
  EXPECT_TRUE(serviceLogged("Stopped monitoring path:" + sim.mountPoint()));
  EXPECT_EQ(service.stop(), 0);
}

}  // namespace
}  // namespace pellora::testing
