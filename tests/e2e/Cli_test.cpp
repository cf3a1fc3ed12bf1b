// The pellora command line over real processes, each in a temporary home: `status` without the
// service and with the service, the Finder stand-in and the extension connected; `stubs` and
// `bring-online` on the simulated share, a file the gateway fails among them; Ctrl-C in a
// bring-online; and the exit status of each kind of bad input.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <iostream>
#include <nlohmann/json.hpp>

#include "FinderStandIn.h"
#include "GatewaySim.h"
#include "ServiceLockFile.h"
#include "TempDir.h"
#include "TestProcess.h"
#include "Wait.h"
#include "process/Process.h"
#include "xattr/Xattr.h"

namespace pellora::testing {
namespace {

using namespace std::chrono_literals;

struct Result {
  int status = -1;
  std::string out;
};

class CliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "mounting the simulated share needs root";
    finder.setEnv("PELLORA_USER_DB_HOME", finder.home());
    finder.setEnv("PELLORA_LOG", "stderr");
  }
  void TearDown() override {
    if (HasFailure()) std::cerr << "Service log:\n" << service.log() << "\nFinder log:\n" << finder.log() << "\n";
    service.stop();
  }

  // The user's environment: Finder's home, configuration (defaults, plug-in registry) and data.
  std::map<std::string, std::string> environment() const {
    return {{"HOME", finder.home()},
            {"XDG_CONFIG_HOME", finder.config()},
            {"XDG_DATA_HOME", finder.data()},
            {"PELLORA_USER_DB_HOME", finder.home()},
            {"PELLORA_LOG", ""}};
  }
  Result pellora(std::vector<std::string> args) {
    args.insert(args.begin(), PELLORA_CLI_PATH);
    Result r;
    r.status = runToEnd(args, environment(), &r.out);
    return r;
  }
  nlohmann::json statusJson() {
    const Result r = pellora({"status", "--json"});
    auto json = nlohmann::json::parse(r.out, nullptr, false);
    EXPECT_FALSE(json.is_discarded()) << r.out;
    json["exitStatus"] = r.status;
    return json;
  }

  void startService() {
    auto env = environment();
    env["PELLORA_LOG"] = "stderr";
    ASSERT_TRUE(service.start({PELLORA_SERVICE_PATH}, env, finder.root() + "/service.log"));
  }

  bool stillStub(const std::string& path) {
    char value[8] = {};
    return platform::xattr::get(path, "is.zavro.stub", value, sizeof value, 0, 0) == 5;
  }

  GatewaySim sim;
  FinderStandIn finder{{.previews = false}};
  TestProcess service;
};

TEST_F(CliTest, StatusWithoutAndWithTheRunningSystem) {
  sim.addStub("docs/a.pdf", "A");
  ASSERT_TRUE(sim.mount());
  ASSERT_TRUE(finder.start());
  ASSERT_EQ(finder.pluginkit({"-a", PELLORA_EXTENSION_BUNDLE}).status, 0);
  // Finder control granted ahead, as the user would when asked.
  ASSERT_EQ(finder.run({"consent", "allow", "com.zavro.Pellora.Service"}).status, 0);

  nlohmann::json json = statusJson();
  EXPECT_EQ(json["exitStatus"], 1);
  EXPECT_EQ(json["working"], false);
  EXPECT_EQ(json["service"]["running"], false);
  EXPECT_EQ(json["extension"]["enabled"], true);
  ASSERT_EQ(json["problems"].size(), 1u) << json.dump();
  EXPECT_EQ(json["problems"][0]["message"], "The service is not running.");
  EXPECT_EQ(json["problems"][0]["action"], "fixService");

  startService();
  // Once the extension is connected and the share watched, nothing keeps Pellora from working.
  EXPECT_TRUE(waitUntil([&] {
    json = statusJson();
    return json["extension"]["connected"] == true && json["shares"] == nlohmann::json::array({sim.mountPoint()}) &&
           json["working"] == true;
  }, 30s)) << json.dump(2);
  EXPECT_EQ(json["exitStatus"], 0);
  EXPECT_EQ(json["service"]["pid"], service.pid());
  EXPECT_EQ(json["service"]["version"], "1.0.0");
  EXPECT_EQ(json["extension"]["connections"], 1);
  EXPECT_EQ(json["problems"], nlohmann::json::array());

  const Result text = pellora({"status"});
  EXPECT_EQ(text.status, 0);
  EXPECT_EQ(text.out, "Pellora:    on\n"
                      "Service:    running, pid " + std::to_string(service.pid()) + ", version 1.0.0 (1)\n"
                      "Shares:     " + sim.mountPoint() + "\n"
                      "Extension:  on, connected\n"
                      "Problems:   none\n");
  std::cout << "$ pellora status\n" << text.out;

  // The service goes: so does what it published.
  ASSERT_EQ(service.stop(), 0);
  json = statusJson();
  EXPECT_EQ(json["exitStatus"], 1);
  EXPECT_EQ(json["service"]["running"], false);
  EXPECT_EQ(json["shares"], nlohmann::json::array());
}

TEST_F(CliTest, EnableRightAfterTheServiceDiedNamesTheCopyThatTakesOver) {
  ASSERT_TRUE(sim.mount());
  ASSERT_TRUE(finder.start());
  ASSERT_EQ(finder.pluginkit({"-a", PELLORA_EXTENSION_BUNDLE}).status, 0);
  ASSERT_EQ(finder.run({"consent", "allow", "com.zavro.Pellora.Service"}).status, 0);
  // The copy started as the application starts it holds the lock; the login item's copy waits.
  ASSERT_EQ(pellora({"enable"}).status, 0);
  std::optional<int32_t> standby;
  ASSERT_TRUE(waitUntil([&] {
    standby = ServiceLockFile::readStandbyMarker(finder.home());
    return standby && platform::process::isAlive(*standby);
  }, 20s));
  const auto holder = ServiceLockFile::runningHolder(finder.home());
  ASSERT_TRUE(holder);
  ASSERT_NE(holder->pid, *standby);

  // The waiting copy is held back while the holder dies and enable runs, until enable has found
  // no live copy holding the lock.
  ASSERT_EQ(::kill(*standby, SIGSTOP), 0);
  struct Resume {
    pid_t pid;
    ~Resume() { ::kill(pid, SIGCONT); }
  } resume{*standby};
  ASSERT_EQ(::kill(holder->pid, SIGKILL), 0);
  ASSERT_TRUE(waitUntil([&] { return !platform::process::isAlive(holder->pid); }));
  auto env = environment();
  env["PELLORA_LOG"] = "stderr";
  TestProcess enable;
  ASSERT_TRUE(enable.start({PELLORA_CLI_PATH, "enable"}, env, finder.root() + "/enable.log"));
  ASSERT_TRUE(waitUntil([&] {
    return !enable.running() || enable.log().find("no live copy holds the service lock yet") != std::string::npos;
  }, 30s));
  ASSERT_TRUE(enable.running()) << enable.log();
  ASSERT_EQ(::kill(*standby, SIGCONT), 0);
  int status = -1;
  ASSERT_TRUE(enable.waitExit(30s, &status));
  EXPECT_EQ(status, 0) << enable.log();
  EXPECT_NE(enable.log().find("Pellora is on; the service runs with pid " + std::to_string(*standby) + ".\n"),
            std::string::npos)
      << enable.log();
  EXPECT_EQ(pellora({"disable"}).status, 0);
}

TEST_F(CliTest, StubsAndBringOnlineWithAFileTheGatewayFails) {
  const std::string a = sim.addStub("docs/a.pdf", std::string(1500, 'a'));
  const std::string lost = sim.addStub("docs/lost.pdf", std::string(500, 'l'));
  const std::string c = sim.addOnline("docs/c.txt", "online");
  const std::string d = sim.addStub("docs/sub/d.bin", std::string(2000, 'd'));
  ASSERT_TRUE(sim.mount());
  const std::string docs = sim.path("docs");

  Result r = pellora({"stubs", docs, sim.path("docs/sub")});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.out, docs + ": 3 stubs (4.0 KB), 1 online file (6 bytes)\n" +
                   sim.path("docs/sub") + ": 1 stub (2.0 KB), 0 online files (Zero bytes)\n"
                   "total: 4 stubs (6.0 KB), 1 online file (6 bytes)\n");
  r = pellora({"stubs", "--json", docs});
  const auto stubs = nlohmann::json::parse(r.out, nullptr, false);
  ASSERT_FALSE(stubs.is_discarded()) << r.out;
  EXPECT_EQ(stubs["folders"][0], nlohmann::json::parse(R"({"stubs": 3, "stubBytes": 4000, "online": 1,
    "onlineBytes": 6, "unreadable": 0, "path": ")" + docs + "\"}"));

  // No service runs: refused unless asked for without it.
  EXPECT_EQ(pellora({"bring-online", docs}).status, 5);
  ASSERT_TRUE(sim.fail("docs/lost.pdf", 5));
  r = pellora({"bring-online", "--without-service", docs});
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_NE(r.out.find("4 files: 3 stubs (4.0 KB), 1 online file (6 bytes)\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("] already online: " + c + "\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("] brought online: " + d + "\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("] failed: " + lost + ": The gateway could not find the file.\n"), std::string::npos) << r.out;
  // The summary, as the progress window words it, then the failures with their reasons.
  for (const char* line : {"\n[1/4] ", "\n[2/4] ", "\n[3/4] ", "\n[4/4] "}) EXPECT_NE(r.out.find(line), std::string::npos) << line;
  EXPECT_TRUE(r.out.ends_with("\nFiles brought online: 2. Failed: 1.\nFailed:\n  " + lost +
                              ": The gateway could not find the file.\n"))
      << r.out;
  EXPECT_FALSE(stillStub(a));
  EXPECT_FALSE(stillStub(d));
  EXPECT_TRUE(stillStub(lost));

  // Bad input, each with its own status.
  const TempDir local;
  EXPECT_EQ(pellora({}).status, 2);
  EXPECT_EQ(pellora({"stubs"}).status, 2);
  EXPECT_EQ(pellora({"bring-online", "--json", docs}).status, 2);
  EXPECT_EQ(pellora({"stubs", sim.path("docs/missing.pdf")}).status, 3);
  EXPECT_EQ(pellora({"enable", "--app", local / "Zavro Pellora.app"}).status, 3);
  r = pellora({"stubs", docs, local.path()});
  EXPECT_EQ(r.status, 4);
  EXPECT_EQ(r.out, "pellora: " + local.path() + ": not on a gateway share\n");
  EXPECT_EQ(pellora({"bring-online", "--without-service", local.path()}).status, 4);
}

TEST_F(CliTest, StopSignalEndsAfterTheCurrentFile) {
  for (int i = 0; i < 4; ++i) sim.addStub("big/f" + std::to_string(i), "data");
  ASSERT_TRUE(sim.mount());
  ASSERT_TRUE(sim.setLatency(600));
  TestProcess run;
  ASSERT_TRUE(run.start({PELLORA_CLI_PATH, "bring-online", "--without-service", sim.path("big")}, environment(),
                        finder.root() + "/bring-online.log"));
  const auto reads = [&] {
    const nlohmann::json counts = sim.counters()["downloadReads"];
    int n = 0;
    for (auto it = counts.begin(); it != counts.end(); ++it) n += it->get<int>();
    return n;
  };
  // Stopped while the first file is being brought online (each takes 600 ms).
  ASSERT_TRUE(waitUntil([&] { return reads() >= 1; }, 15s)) << run.log() << sim.counters().dump();
  EXPECT_EQ(run.stop(20s), 130);
  int online = 0;
  for (int i = 0; i < 4; ++i) online += stillStub(sim.path("big/f" + std::to_string(i))) ? 0 : 1;
  EXPECT_EQ(online, 1);
  EXPECT_EQ(reads(), 1);
  const std::string log = run.log();
  EXPECT_NE(log.find("canceling after the current file\n"), std::string::npos) << log;
  EXPECT_NE(log.find("Files brought online: 1.\nCanceled: 3 of 4 files were not started.\n"), std::string::npos) << log;
}

}  // namespace
}  // namespace pellora::testing
