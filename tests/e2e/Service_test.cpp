// The service program started from its bundle, in a home of its own, against simulated gateway
// shares: what an extension receives when it connects, badge answers, the push that follows a
// download, and the watch list following mounts and unmounts.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "GatewaySim.h"
#include "LineClient.h"
#include "TempDir.h"
#include "TestProcess.h"
#include "Wait.h"
#include "xattr/Xattr.h"

namespace pellora::testing {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

std::string readFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

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
    const std::string portFile = home / ".zavroPellora/port";
    ASSERT_TRUE(waitUntil([&] { return readFile(portFile).find('\n') != std::string::npos; }))
        << service.log();
    const std::string content = readFile(portFile);
    port = std::stoi(content.substr(0, content.find(',')));
    key = content.substr(content.find(',') + 1);
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
  EXPECT_TRUE(lists(json::parse(filter), sim.mountPoint())) << filter;
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
  ASSERT_TRUE(lists(json::parse(filter), first.mountPoint()));

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

}  // namespace
}  // namespace pellora::testing
