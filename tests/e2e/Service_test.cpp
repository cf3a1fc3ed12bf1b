// The service program started from its bundle, in a home of its own, against simulated gateway
// shares: what an extension receives when it connects, badge answers, the push that follows a
// download, and the watch list following mounts and unmounts.
#include <gtest/gtest.h>

#include <fstream>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <memory>
#include <nlohmann/json.hpp>
#include <vector>

#include "GatewaySim.h"
#include "LineClient.h"
#include "PortFile.h"
#include "TempDir.h"
#include "TestProcess.h"
#include "Wait.h"
#include "xattr/Xattr.h"

namespace pellora::testing {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

class ServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "mounting the simulated share needs root";
  }

  void startService() {
    ASSERT_TRUE(service.start({PELLORA_SERVICE_PATH},
                              {{"HOME", home.path()}, {"PELLORA_LOG", "stderr"},
                               {"XDG_CONFIG_HOME", home / "config"},
                               // Started by hand, not as a login item that would wait in standby.
                               {"XPC_SERVICE_NAME", ""}},
                              home / "service.log"));
    const PortFile portFile(home.path());
    std::optional<PortFile::Content> content;
    ASSERT_TRUE(waitUntil([&] {
      content = portFile.read();
      return content && content->token.find('\n') != std::string::npos;
    })) << service.log();
    port = content->port;
    key = content->token;
  }

  // Connects as an extension would and returns the two opening frames.
  std::unique_ptr<LineClient> connect(std::string* filter, std::string* icon) {
    auto client = std::make_unique<LineClient>(port);
    EXPECT_TRUE(client->connected()) << service.log();
    client->send(key);
    const auto f = client->readFrame();
    const auto i = client->readFrame();
    EXPECT_TRUE(f && i) << service.log();
    if (filter && f) *filter = *f;
    if (icon && i) *icon = *i;
    return client;
  }

  // Reads frames until one satisfies match; false after the timeout.
  static bool readUntil(LineClient& client, const std::function<bool(const json&)>& match,
                        std::chrono::milliseconds timeout = 15s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
      const auto frame = client.readFrame(200ms);
      if (!frame || frame->empty()) continue;
      const auto j = json::parse(*frame, nullptr, false);
      if (!j.is_discarded() && match(j)) return true;
    }
    return false;
  }

  static bool lists(const json& frame, const std::string& path) {
    if (frame.value("command", "") != "setFilterPaths") return false;
    const auto& v = frame["value"];
    return std::find(v.begin(), v.end(), path) != v.end();
  }

  // True when the opening filter frame lists path, or, when the client came while the service
  // was still looking at the mounts (an empty opening frame), the push that follows does.
  static bool observes(LineClient& client, const std::string& filter, const std::string& path) {
    if (!filter.empty()) return lists(json::parse(filter), path);
    return readUntil(client, [&](const json& j) { return lists(j, path); });
  }

  TempDir home;
  TestProcess service;
  int port = 0;
  std::string key;
};

TEST_F(ServiceTest, ExtensionGetsTheShareTheBadgeImageAndBadgeChanges) {
  GatewaySim sim;
  const std::string stub = sim.addStub("docs/report.pdf", "the report");
  const std::string online = sim.addOnline("docs/notes.txt", "notes");
  ASSERT_TRUE(sim.mount());
  startService();
  std::string filter, icon;
  auto client = connect(&filter, &icon);
  EXPECT_TRUE(observes(*client, filter, sim.mountPoint())) << filter;
  const auto iconFrame = json::parse(icon);
  EXPECT_EQ(iconFrame["command"], "registerIconWithId");
  const std::string image = iconFrame["value"]["path"];
  EXPECT_NE(image.find("Zavro Pellora Service.app/Contents/Resources/zavroMacPellora.icns"),
            std::string::npos);
  EXPECT_EQ(iconFrame["value"]["iconId"], "FileIconCache");

  client->send(json({{"command", "getFileIconId"}, {"value", stub}}).dump() + "\r\n" +
               json({{"command", "getFileIconId"}, {"value", online}}).dump() + "\r\n");
  ASSERT_TRUE(readUntil(*client, [&](const json& j) {
    return j["command"] == "setFileIcons" && j["value"].size() == 2;
  }));

  // The share's watch may start after the filter paths went out: a change to the online file
  // is made again until its push shows that the watcher sees the share.
  bool watching = false;
  for (int i = 0; i < 20 && !watching; ++i) {
    std::ofstream(online, std::ios::app) << "more notes\n";
    watching = readUntil(*client, [&](const json& j) {
      return j["command"] == "setFileIcons" && j["value"].contains(online);
    }, 500ms);
  }
  ASSERT_TRUE(watching) << service.log();

  // Bring the stub online through the gateway; the watcher sees it and the badge follows.
  char digit[2] = {};
  ASSERT_EQ(platform::xattr::get(stub, "zavro.download.file", digit, sizeof digit, 0, 0), 1);
  EXPECT_EQ(digit[0], '0');
  EXPECT_TRUE(readUntil(*client, [&](const json& j) {
    return j["command"] == "setFileIcons" && j["value"].value(stub, "") == "FileIconNone";
  })) << service.log();
}

TEST_F(ServiceTest, WatchListFollowsMountsInByteOrder) {
  GatewaySim first;
  ASSERT_TRUE(first.mount());
  startService();
  std::string filter;
  auto client = connect(&filter, nullptr);
  ASSERT_TRUE(observes(*client, filter, first.mountPoint())) << filter;

  GatewaySim second;
  ASSERT_TRUE(second.mount());
  json pushed;
  ASSERT_TRUE(readUntil(*client, [&](const json& j) {
    pushed = j;
    return lists(j, first.mountPoint()) && lists(j, second.mountPoint());
  })) << service.log();
  const auto roots = pushed["value"].get<std::vector<std::string>>();
  EXPECT_TRUE(std::is_sorted(roots.begin(), roots.end()));

  ASSERT_TRUE(second.unmount()) << second.log();
  EXPECT_TRUE(readUntil(*client, [&](const json& j) {
    return lists(j, first.mountPoint()) && !lists(j, second.mountPoint());
  })) << service.log();
}

TEST_F(ServiceTest, WrongKeyIsRefusedAndTheServiceGoesOn) {
  startService();
  LineClient intruder(port);
  intruder.send("{00000000-0000-0000-0000-000000000000}\n");
  EXPECT_TRUE(intruder.waitClosed());
  std::string filter = "unset";
  auto client = connect(&filter, nullptr);
  EXPECT_TRUE(filter.empty() || json::parse(filter)["command"] == "setFilterPaths");
  EXPECT_EQ(service.stop(), 0);  // SIGTERM ends it cleanly
}

TEST_F(ServiceTest, PortFileIsTheUsersAloneWhateverTheUmask) {
  const std::string folder = home.mkdir(".zavroPellora");
  ::chmod(folder.c_str(), 0755);
  const mode_t saved = ::umask(0);  // the service inherits it
  startService();
  ::umask(saved);
  struct stat st {};
  ASSERT_EQ(::stat(folder.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0700u);
  ASSERT_EQ(::lstat(PortFile(home.path()).path().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
}

TEST_F(ServiceTest, IdleConnectionsUnderAFullDescriptorTableDoNotKeepTheExtensionOut) {
  // The service runs with few descriptors; far more connections than it has descriptors stay
  // open without ever sending a key.
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit tight = saved;
  tight.rlim_cur = 128;  // inherited by the service
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
  startService();
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);
  std::vector<std::unique_ptr<LineClient>> idle;
  for (int i = 0; i < 300; ++i) idle.push_back(std::make_unique<LineClient>(port));
  // The extension reconnects once a second until it is served.
  std::string filter = "unset";
  const bool served = waitUntil(
      [&] {
        LineClient client(port);
        if (!client.connected() || !client.send(key)) return false;
        const auto frame = client.readFrame(1s);
        if (frame) filter = *frame;
        return frame.has_value();
      },
      30s);
  EXPECT_TRUE(served) << service.log();
  EXPECT_EQ(filter, "");  // no share is mounted
  // A full table is no reason to log without end.
  const std::string log = service.log();
  size_t lines = 0;
  for (size_t at = log.find("Unable to"); at != std::string::npos;
       at = log.find("Unable to", at + 1))
    ++lines;
  EXPECT_LT(lines, 20u) << log.substr(0, 2000);
  EXPECT_EQ(service.stop(), 0);
}

}  // namespace
}  // namespace pellora::testing
