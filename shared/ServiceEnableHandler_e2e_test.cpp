// The enable handler with real service copies: a stand-in service program in a bundle inside a
// test application bundle, the real plug-in tool and login items, one temporary home per test.
// Runs in its own pid namespace (tests/isolated.sh): the handler stops every service copy it
// sees, and here it sees only this test's.
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <map>

#include "ServiceEnableHandler.h"
#include "ServiceLockFile.h"
#include "TempDir.h"
#include "Wait.h"
#include "bundle/PropertyList.h"
#include "defaults/UserDefaults.h"
#include "dispatch/Queue.h"
#include "dispatch/RunLoop.h"
#include "log/Capture.h"
#include "loginitems/LoginItems.h"
#include "plugins/PluginRegistry.h"
#include "process/Process.h"
#include "workspace/Workspace.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using platform::loginitems::LoginItems;
using platform::loginitems::Status;
using platform::workspace::RunningApplication;
using pellora::testing::TempDir;
using pellora::testing::waitUntil;

void writeBundle(const std::string& bundle, const std::string& identifier, const std::string& executable) {
  fs::create_directories(bundle + "/Contents/MacOS");
  std::ofstream(bundle + "/Contents/Info.plist") << platform::bundle::writePropertyList(
      {{"CFBundleIdentifier", identifier}, {"CFBundleExecutable", executable}, {"CFBundleVersion", "7"}});
}

class ServiceEnableHandlerE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("HOME", home_.path().c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (home_ / ".config").c_str(), 1);
    ::setenv("PELLORA_MANAGED_DEFAULTS_DIR", (home_ / "managed").c_str(), 1);
    records_ = home_.mkdir("records");
    ::setenv("PELLORA_STANDIN_RECORDS", records_.c_str(), 1);
    ::unsetenv("XPC_SERVICE_NAME");

    app_ = home_ / "Applications/Zavro Pellora.app";
    writeBundle(app_, kMainAppBundleIdentifier, "Zavro Pellora");
    service_ = app_ + "/" + kServiceBundleInApp;
    writeBundle(service_, kServiceBundleIdentifier, "Zavro Pellora Service");
    fs::copy_file(PELLORA_SERVICE_STANDIN, service_ + "/Contents/MacOS/Zavro Pellora Service");
    fs::permissions(service_ + "/Contents/MacOS/Zavro Pellora Service", fs::perms::owner_all);
    actAs(app_, {"Zavro Pellora"});
  }
  void TearDown() override {
    // Again until none is left: a copy may still be on its way up.
    EXPECT_TRUE(waitUntil([] {
      const auto copies = RunningApplication::runningApplications(kServiceBundleIdentifier);
      for (const auto& app : copies) app.forceTerminate();
      return copies.empty();
    }));
    // This process is the namespace's init: what it inherited is reaped here.
    while (::waitpid(-1, nullptr, WNOHANG) > 0) {
    }
    ServiceEnableHandler::setEnvironment({});
  }

  // This process plays the bundle with those arguments.
  void actAs(const std::string& bundle, std::vector<std::string> arguments, double restartWait = 10.0) {
    ServiceEnableHandler::Environment env;
    env.mainBundlePath = bundle;
    env.arguments = std::move(arguments);
    env.home = home_.path();
    env.pluginTool = PELLORA_PLUGINKIT_PATH;
    env.exitProcess = [this](int status) { exitStatus_ = status; };
    env.timeouts.poll = 20ms;
    env.timeouts.exitBeforeRestart = restartWait;
    ServiceEnableHandler::setEnvironment(env);
  }

  // handleEnabled, serving the main queue until its completion has run.
  bool handle(bool forceStart) {
    std::atomic<int> calls{0};
    ServiceEnableHandler::handleEnabled(forceStart, [&] { ++calls; });
    const bool done = serveUntil([&] { return calls > 0; });
    serveMainQueue();
    EXPECT_LE(calls, 1);
    return done;
  }
  bool serveUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = 20s) {
    return platform::dispatch::RunLoop::main()->runUntil(done, timeout);
  }
  void serveMainQueue() {
    std::atomic<bool> served{false};
    platform::dispatch::mainQueue()->async([&] { served = true; });
    serveUntil([&] { return served.load(); });
  }

  std::map<pid_t, std::string> records() const {
    std::map<pid_t, std::string> out;
    for (const auto& e : fs::directory_iterator(records_)) {
      const std::string name = e.path().filename().string();
      if (name.find('.') != std::string::npos) continue;
      std::ifstream in(e.path());
      std::string text;
      std::getline(in, text, '\0');
      out[std::atoi(name.c_str())] = text;
    }
    return out;
  }
  std::optional<LockHolder> holder() const {
    const int fd = ServiceLockFile::openForProbe(home_.path());
    if (fd < 0) return std::nullopt;
    auto h = ServiceLockFile::readLockHolder(fd);
    ::close(fd);
    return h;
  }
  // A copy started as a user would, outside the handler.
  pid_t startCopy(std::map<std::string, std::optional<std::string>> env = {}) {
    const auto spawned = platform::process::spawnDetached({service_ + "/Contents/MacOS/Zavro Pellora Service"}, env);
    EXPECT_GT(spawned.pid, 0);
    return spawned.pid;
  }
  bool extensionEnabled() const {
    const platform::plugins::PluginRegistry registry(home_ / ".config/pluginkit/registry.json");
    const auto plugin = registry.find(kFinderExtensionIdentifier);
    return plugin && plugin->enabled;
  }
  std::shared_ptr<platform::defaults::UserDefaults> suite() const {
    return platform::defaults::UserDefaults::suite(kSharedDefaultsSuite);
  }

  TempDir home_;
  std::string records_, app_, service_;
  std::atomic<int> exitStatus_{-1};
  LoginItems loginItems_{home_ / ".config"};
};

TEST_F(ServiceEnableHandlerE2E, SwitchingOnFromTheAppStartsTheServiceAndTheLoginItem) {
  ASSERT_TRUE(handle(false));
  EXPECT_TRUE(ServiceEnableHandler::appCopyHoldsLock);
  EXPECT_FALSE(ServiceEnableHandler::loginItemUnregistered);
  EXPECT_EQ(suite()->object(kEnabledDefaultsKey), platform::defaults::Value("1"));
  EXPECT_TRUE(extensionEnabled());
  EXPECT_FALSE(ServiceEnableHandler::offByMarkerExists());

  // The opened copy holds the lock and was told it came from the application.
  const auto h = holder();
  ASSERT_TRUE(h.has_value());
  EXPECT_EQ(h->version, "7");
  const auto all = records();
  ASSERT_TRUE(all.count(h->pid));
  EXPECT_EQ(all.at(h->pid), "arg=--from-app\nxpc=unset\n");
  // The login item is registered, and the job it started waits in standby.
  EXPECT_EQ(loginItems_.status(kServiceBundleIdentifier), Status::Enabled);
  const auto job = loginItems_.runningJob(kServiceBundleIdentifier);
  ASSERT_TRUE(job.has_value());
  EXPECT_NE(*job, h->pid);
  EXPECT_TRUE(waitUntil([&] { return ServiceLockFile::readStandbyMarker(home_.path()) == *job; }));
  EXPECT_EQ(records().at(*job), "xpc=com.zavro.Pellora.Service\n");
}

TEST_F(ServiceEnableHandlerE2E, SwitchingOffFromTheAppStopsEveryCopyWithinTheWait) {
  ASSERT_TRUE(handle(false));
  ASSERT_TRUE(waitUntil([&] { return ServiceLockFile::readStandbyMarker(home_.path()).has_value(); }));
  ASSERT_EQ(RunningApplication::runningApplications(kServiceBundleIdentifier).size(), 2u);

  ServiceEnableHandler::updateUserDefaults(false);
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(handle(false));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 3s + 2s);
  EXPECT_TRUE(RunningApplication::runningApplications(kServiceBundleIdentifier).empty());
  EXPECT_FALSE(ServiceEnableHandler::isServiceLockHeld());
  EXPECT_EQ(loginItems_.status(kServiceBundleIdentifier), Status::NotRegistered);
  EXPECT_FALSE(extensionEnabled());
  EXPECT_TRUE(ServiceEnableHandler::offByMarkerExists());
  EXPECT_EQ(exitStatus_, -1);  // the application goes on
}

TEST_F(ServiceEnableHandlerE2E, SwitchingOnWhileTheServiceRunsOnlyRegistersTheLoginItem) {
  const pid_t running = startCopy();
  ASSERT_TRUE(waitUntil([&] { return holder() && holder()->pid == running; }));
  ASSERT_TRUE(handle(false));
  EXPECT_EQ(holder()->pid, running);
  EXPECT_EQ(loginItems_.status(kServiceBundleIdentifier), Status::Enabled);
  for (const auto& [pid, record] : records()) {
    EXPECT_EQ(record.find(kFromAppArgument), std::string::npos) << "opened: " << record;
  }
  EXPECT_FALSE(ServiceEnableHandler::appCopyHoldsLock);
}

TEST_F(ServiceEnableHandlerE2E, AVersionCheckLeavesTheUsersChoiceAndOpensWithoutFromApp) {
  actAs(app_, {"Zavro Pellora", kCheckVersionArgument});
  ASSERT_EQ(ServiceEnableHandler::shell({PELLORA_PLUGINKIT_PATH, "-e", "ignore", "-i", kFinderExtensionIdentifier}), 0);
  ASSERT_TRUE(handle(false));
  EXPECT_FALSE(extensionEnabled());  // switched off by the user, not by us
  ASSERT_TRUE(holder().has_value());
  EXPECT_EQ(records().at(holder()->pid), "xpc=unset\n");

  // Switched off by this system: a version check switches it on again.
  ServiceEnableHandler::setFinderExtension(false);
  ASSERT_TRUE(ServiceEnableHandler::offByMarkerExists());
  ASSERT_TRUE(handle(false));
  EXPECT_TRUE(extensionEnabled());
  EXPECT_FALSE(ServiceEnableHandler::offByMarkerExists());
}

TEST_F(ServiceEnableHandlerE2E, ARestartReplacesEveryCopyWithOneThatHoldsTheLock) {
  const pid_t old = startCopy();
  ASSERT_TRUE(waitUntil([&] { return holder() && holder()->pid == old; }));
  const pid_t standby = startCopy({{"XPC_SERVICE_NAME", kServiceBundleIdentifier}});
  ASSERT_TRUE(waitUntil([&] { return ServiceLockFile::readStandbyMarker(home_.path()) == standby; }));

  std::atomic<int> calls{0};
  std::atomic<bool> result{false};
  ServiceEnableHandler::restartServiceFromApp([&](bool holds) {
    result = holds;
    ++calls;
  });
  ASSERT_TRUE(serveUntil([&] { return calls > 0; }));
  serveMainQueue();
  EXPECT_EQ(calls, 1);
  EXPECT_TRUE(result);
  EXPECT_TRUE(waitUntil([&] { return !platform::process::isAlive(old) && !platform::process::isAlive(standby); }));
  const auto h = holder();
  ASSERT_TRUE(h.has_value());
  EXPECT_NE(h->pid, old);
  EXPECT_NE(h->pid, standby);
  EXPECT_EQ(records().at(h->pid), "arg=--from-app\nxpc=unset\n");
  EXPECT_FALSE(ServiceEnableHandler::loginItemUnregistered);
}

TEST_F(ServiceEnableHandlerE2E, ARestartWhoseOldServiceStaysCompletesWithFalse) {
  // Something that is no service copy holds the lock: it cannot be stopped.
  ServiceLockFile::createHiddenFolder(home_.path());
  const int lock = ServiceLockFile::openForHolder(home_.path());
  ASSERT_EQ(::flock(lock, LOCK_EX | LOCK_NB), 0);
  platform::log::Capture capture;
  for (const bool enabled : {true, false}) {
    SCOPED_TRACE(enabled ? "key on" : "key off");
    actAs(app_, {"Zavro Pellora"}, 0.3);
    ServiceEnableHandler::updateUserDefaults(enabled);
    std::atomic<int> calls{0};
    std::atomic<bool> result{true};
    ServiceEnableHandler::restartServiceFromApp([&](bool holds) {
      result = holds;
      ++calls;
    });
    ASSERT_TRUE(serveUntil([&] { return calls > 0; }));
    EXPECT_FALSE(result);
    EXPECT_EQ(loginItems_.status(kServiceBundleIdentifier), enabled ? Status::Enabled : Status::NotRegistered);
    EXPECT_EQ(ServiceEnableHandler::loginItemUnregistered, !enabled);
    loginItems_.unregisterItem(kServiceBundleIdentifier);
  }
  EXPECT_TRUE(capture.contains("\"ServiceEnableHandler -> restartServiceFromApp -> old service exited: false\""));
  EXPECT_TRUE(capture.contains("\"ServiceEnableHandler -> service still holds the lock after 0.3s\""));
  ::close(lock);
}

TEST_F(ServiceEnableHandlerE2E, InTheServiceTheKeyOffStopsTheOtherCopiesAndEndsTheProcess) {
  const pid_t other = startCopy();
  ASSERT_TRUE(waitUntil([&] { return holder() && holder()->pid == other; }));
  ASSERT_EQ(loginItems_.registerItem(kServiceBundleIdentifier, service_), Status::Enabled);
  actAs(service_, {"Zavro Pellora Service"});
  ASSERT_TRUE(ServiceEnableHandler::isServiceProcess());
  ServiceEnableHandler::updateUserDefaults(false);

  platform::log::Capture capture;
  bool completed = false;
  ServiceEnableHandler::handleEnabled(false, [&] { completed = true; });
  EXPECT_EQ(exitStatus_, 0);
  EXPECT_FALSE(completed);
  EXPECT_TRUE(capture.contains("\"ServiceEnableHandler -> Pellora disabled - service exiting\". <Service>"));
  EXPECT_TRUE(waitUntil([&] { return !platform::process::isAlive(other); }));
  EXPECT_FALSE(extensionEnabled());
  EXPECT_TRUE(ServiceEnableHandler::offByMarkerExists());
  // Only the application unregisters the login item.
  EXPECT_EQ(loginItems_.status(kServiceBundleIdentifier), Status::Enabled);
}

TEST_F(ServiceEnableHandlerE2E, InTheServiceTheKeyOnFindsItselfRunningAndStartsNothing) {
  const pid_t self = startCopy();
  ASSERT_TRUE(waitUntil([&] { return holder() && holder()->pid == self; }));
  actAs(service_, {"Zavro Pellora Service"});
  ServiceEnableHandler::setFinderExtension(false);
  ASSERT_TRUE(handle(false));
  EXPECT_EQ(exitStatus_, -1);
  EXPECT_TRUE(extensionEnabled());
  for (const auto& [pid, record] : records()) {
    EXPECT_EQ(record.find(kFromAppArgument), std::string::npos) << record;
  }
  EXPECT_EQ(holder()->pid, self);
}

TEST_F(ServiceEnableHandlerE2E, AMissingServiceBundleIsLoggedAndTheCompletionStillRuns) {
  fs::remove_all(service_);
  platform::log::Capture capture;
  ASSERT_TRUE(handle(false));
  EXPECT_TRUE(capture.contains("\"ServiceEnableHandler -> handleEnabled -> Service app not found at " + service_ + "\""));
  EXPECT_FALSE(ServiceEnableHandler::appCopyHoldsLock);
  EXPECT_TRUE(records().empty());
}

}  // namespace
