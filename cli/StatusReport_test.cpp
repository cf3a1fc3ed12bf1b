#include "StatusReport.h"

#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "ServiceEnableHandler.h"
#include "ServiceLockFile.h"
#include "ServiceStatusFile.h"
#include "TempDir.h"
#include "TestProcess.h"
#include "bundle/PropertyList.h"
#include "defaults/UserDefaults.h"

namespace pellora::cli {
namespace {

using platform::defaults::Value;
using pellora::testing::TempDir;

const Texts kEnglish = [](const std::string& key, const std::string& english) {
  return english.empty() ? key : english;
};

StatusReport runningSystem() {
  StatusReport r;
  r.serviceRuns = true;
  r.pid = 4242;
  r.version = "1.0.0";
  r.build = "1";
  r.shares = std::vector<std::string>{"/mnt/gateway", "/mnt/archive"};
  r.extensionConnections = 1;
  r.extensionEnabled = true;
  return r;
}

TEST(StatusReport, TextOfAWorkingSystemAndOfOneWithProblems) {
  const StatusReport working = runningSystem();
  EXPECT_TRUE(working.working());
  EXPECT_EQ(renderStatusText(working),
            "Pellora:    on\n"
            "Service:    running, pid 4242, version 1.0.0 (1)\n"
            "Shares:     /mnt/gateway\n"
            "            /mnt/archive\n"
            "Extension:  on, connected\n"
            "Problems:   none\n");

  StatusReport stopped;
  stopped.extensionEnabled = false;
  stopped.rows = {{{std::string(StatusModel::kWarningIcon) + " The service is not running.", "Start",
                    ProblemAction::fixService},
                   adviceFor(ProblemAction::fixService, kEnglish)},
                  {{std::string(StatusModel::kWarningIcon) + " No access to network shares.\nAfter allowing access, reopen.",
                    "Fix", ProblemAction::fixNetworkAccess},
                   "First line.\n\n    second line"}};
  EXPECT_FALSE(stopped.working());
  EXPECT_EQ(renderStatusText(stopped),
            "Pellora:    on\n"
            "Service:    not running\n"
            "Shares:     none watched\n"
            "Extension:  off, not connected\n"
            "Problems:\n"
            "  \u26A0\uFE0F The service is not running.\n"
            "     Start: pellora enable --restart\n"
            "  \u26A0\uFE0F No access to network shares.\n"
            "     After allowing access, reopen.\n"
            "     Fix: First line.\n"
            "           second line\n");

  StatusReport off;
  off.enabled = false;
  EXPECT_FALSE(off.working());
  EXPECT_EQ(renderStatusText(off).substr(0, 48), "Pellora:    off (pellora enable switches it on)\n");

  // A service that publishes nothing (an older copy): what it watches is not known.
  StatusReport silent = runningSystem();
  silent.shares.reset();
  silent.extensionConnections.reset();
  silent.version.clear();
  const std::string text = renderStatusText(silent);
  EXPECT_NE(text.find("Service:    running, pid 4242, version 1\n"), std::string::npos) << text;
  EXPECT_NE(text.find("Shares:     unknown (the service publishes none)\n"), std::string::npos) << text;
  EXPECT_NE(text.find("Extension:  on\n"), std::string::npos) << text;
}

TEST(StatusReport, JsonForScripts) {
  const nlohmann::json working = statusJson(runningSystem());
  EXPECT_EQ(working, nlohmann::json::parse(R"({
    "enabled": true, "managed": false, "working": true,
    "service": {"running": true, "pid": 4242, "version": "1.0.0", "build": "1"},
    "shares": ["/mnt/gateway", "/mnt/archive"],
    "extension": {"enabled": true, "connections": 1, "connected": true},
    "problems": []})"));

  StatusReport stopped;
  stopped.rows = {{{std::string(StatusModel::kInformationIcon) + " No Zavro share is connected.", "Learn more",
                    ProblemAction::openLink},
                   adviceFor(ProblemAction::openLink, kEnglish)}};
  const nlohmann::json json = statusJson(stopped);
  EXPECT_EQ(json["working"], false);
  EXPECT_EQ(json["service"], nlohmann::json::parse(R"({"running": false, "pid": null, "version": null, "build": null})"));
  EXPECT_EQ(json["shares"], nlohmann::json::array());
  EXPECT_EQ(json["extension"], nlohmann::json::parse(R"({"enabled": null, "connections": null, "connected": false})"));
  EXPECT_EQ(json["problems"], nlohmann::json::parse(R"([{"level": "information",
    "message": "No Zavro share is connected.", "fix": "Learn more", "action": "openLink",
    "advice": "https://docs.zavro.com/pellora/installation"}])"));
}

// The service's lock and processes as the test sets them; the rest is the system's.
class FakeControl : public ServiceControl {
 public:
  bool running = false;
  bool serviceApplicationRuns() override { return running; }
  bool backgroundNeedsApproval() override { return false; }
};

class GatherStatus : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("XDG_CONFIG_HOME", (home_ / ".config").c_str(), 1);
    ::setenv("PELLORA_MANAGED_DEFAULTS_DIR", (home_ / "managed").c_str(), 1);
    ServiceEnableHandler::Environment env;
    env.home = home_.path();
    ServiceEnableHandler::setEnvironment(env);
    const auto suite = platform::defaults::UserDefaults::suite(kSharedDefaultsSuite);
    suite->set(kNetworkAccessKey, Value("ok"));
    suite->set(kFinderControlKey, Value("ok"));
    suite->set(kNetworkSharesKey, Value(int64_t{1}));
    suite->set(kMonitoredSharesKey, Value(int64_t{1}));
    // The Finder extension, registered with the plug-in tool and switched off.
    const std::string appex = home_ / "PelloraFinder.appex";
    std::filesystem::create_directories(appex + "/Contents");
    std::ofstream(appex + "/Contents/Info.plist") << platform::bundle::writePropertyList(
        {{"CFBundleIdentifier", kFinderExtensionIdentifier}, {"CFBundleVersion", "1"}});
    ASSERT_EQ(pellora::testing::runToEnd({PELLORA_PLUGINKIT_PATH, "-a", appex}, {}), 0);
    ASSERT_EQ(pellora::testing::runToEnd({PELLORA_PLUGINKIT_PATH, "-e", "ignore", "-i", kFinderExtensionIdentifier}, {}), 0);
  }
  void TearDown() override {
    if (lock_ >= 0) ::close(lock_);
    ServiceEnableHandler::setEnvironment({});
  }

  StatusReport gather() {
    StatusProbe probe(control_, {PELLORA_PLUGINKIT_PATH, home_.path()});
    return gatherStatus(probe, kEnglish);
  }
  // This process holds the service's lock, as the service copy pid would.
  void holdLock(int32_t pid) {
    ServiceLockFile::createHiddenFolder(home_.path());
    lock_ = ServiceLockFile::openForHolder(home_.path());
    ASSERT_GE(lock_, 0);
    ASSERT_EQ(::flock(lock_, LOCK_EX | LOCK_NB), 0);
    ASSERT_TRUE(ServiceLockFile::writeHolderLine(lock_, pid, "7"));
  }

  TempDir home_;
  std::shared_ptr<FakeControl> control_ = std::make_shared<FakeControl>();
  int lock_ = -1;
};

TEST_F(GatherStatus, TheWindowsRowsAndWhatTheLockHolderPublished) {
  StatusReport report = gather();
  EXPECT_FALSE(report.serviceRuns);
  EXPECT_FALSE(report.pid);
  ASSERT_EQ(report.rows.size(), 1u);
  EXPECT_EQ(report.rows[0].problem.text, std::string(StatusModel::kWarningIcon) + " The service is not running.");
  EXPECT_EQ(report.rows[0].advice, "pellora enable --restart");

  // The lock is held and its holder published its status: the extension row, and the facts.
  holdLock(4242);
  ASSERT_TRUE(ServiceStatusFile(home_.path()).write({4242, "1.0.0", "7", {"/mnt/gateway"}, 2}));
  report = gather();
  EXPECT_TRUE(report.serviceRuns);
  EXPECT_EQ(report.pid, 4242);
  EXPECT_EQ(report.version, "1.0.0");
  EXPECT_EQ(report.build, "7");
  EXPECT_EQ(report.shares, std::vector<std::string>{"/mnt/gateway"});
  EXPECT_EQ(report.extensionConnections, 2);
  EXPECT_EQ(report.extensionEnabled, false);
  ASSERT_EQ(report.rows.size(), 1u);
  EXPECT_EQ(report.rows[0].problem.text, std::string(StatusModel::kWarningIcon) + " The Finder extension is off.");
  EXPECT_NE(report.rows[0].advice.find("pluginkit -e use -i com.zavro.Pellora.Service.Finder"), std::string::npos);

  // A status left by another copy is not this one's.
  ASSERT_TRUE(ServiceStatusFile(home_.path()).write({99, "0.9", "3", {"/old"}, 1}));
  report = gather();
  EXPECT_EQ(report.pid, 4242);
  EXPECT_EQ(report.build, "7");  // from the lock file
  EXPECT_TRUE(report.version.empty());
  EXPECT_FALSE(report.shares);
  EXPECT_FALSE(report.extensionConnections);

  // Switched off: no rows, and not working.
  ServiceEnableHandler::updateUserDefaults(false);
  report = gather();
  EXPECT_FALSE(report.enabled);
  EXPECT_TRUE(report.rows.empty());
  EXPECT_FALSE(report.working());
}

}  // namespace
}  // namespace pellora::cli
