// The service program's start-up with real copies of its bundle, each test in a home of its
// own: where a copy may run, the single-instance lock between copies and versions, standby and
// take-over, the enable key at start and while running, and many copies started at once.
// Runs in its own pid namespace (tests/isolated.sh): the service stops copies it finds, and
// here it finds only this test's.
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <set>
#include <sstream>

#include "BundleCopy.h"
#include "LineClient.h"
#include "ServiceEnableHandler.h"
#include "ServiceLockFile.h"
#include "TempDir.h"
#include "TestProcess.h"
#include "Wait.h"
#include "bundle/PropertyList.h"
#include "defaults/UserDefaults.h"
#include "loginitems/LoginItems.h"
#include "plugins/PluginRegistry.h"
#include "workspace/Workspace.h"

namespace pellora::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using platform::defaults::Value;
using platform::workspace::RunningApplication;

constexpr char kServiceInApp[] = "Contents/Library/LoginItems/Zavro Pellora Service.app";
constexpr char kServiceExecutable[] = "Contents/MacOS/Zavro Pellora Service";

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

size_t occurrences(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++n;
  return n;
}

// The listening TCP sockets of the process's network namespace on that port, by inode.
std::set<std::string> listeningInodes(pid_t pid, int port) {
  std::set<std::string> out;
  std::ifstream table("/proc/" + std::to_string(pid) + "/net/tcp");
  std::string line;
  std::getline(table, line);
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
    fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >> inode;
    const size_t colon = local.find(':');
    if (state != "0A" || colon == std::string::npos) continue;
    if (std::stoi(local.substr(colon + 1), nullptr, 16) == port) out.insert(inode);
  }
  return out;
}

// The process itself holds a socket that listens on the port.
bool listensOn(pid_t pid, int port) {
  const auto inodes = listeningInodes(pid, port);
  std::error_code ec;
  for (const auto& fd : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
    const std::string target = fs::read_symlink(fd.path(), ec).string();
    if (target.rfind("socket:[", 0) != 0) continue;
    if (inodes.count(target.substr(8, target.size() - 9))) return true;
  }
  return false;
}

class ServiceLifecycle : public ::testing::Test {
 protected:
  void SetUp() override {
    // Every program of the test, this one included, lives in the test's home.
    ::setenv("HOME", home_.path().c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (home_ / ".config").c_str(), 1);
    ::setenv("XDG_DATA_HOME", (home_ / ".local/share").c_str(), 1);
    ::setenv("PELLORA_MANAGED_DEFAULTS_DIR", (home_ / "managed").c_str(), 1);
    ::setenv("PELLORA_USER_DB_HOME", home_.path().c_str(), 1);
    ::setenv("PELLORA_APPLICATIONS_DIR", (home_ / "Applications").c_str(), 1);
    ::setenv("PELLORA_PLUGINKIT", PELLORA_PLUGINKIT_PATH, 1);
    ::setenv("PELLORA_LOG", "stderr", 1);
    ::unsetenv("XPC_SERVICE_NAME");
  }

  void TearDown() override {
    if (HasFailure()) {
      for (const auto& [name, process] : processes_) std::cerr << "--- " << name << ":\n" << process->log() << "\n";
    }
    processes_.clear();
    // Copies that the enable handler or the login items started are not children of this test;
    // again until none is left, as one may still be on its way up.
    EXPECT_TRUE(waitUntil([] {
      const auto copies = RunningApplication::runningApplications(kServiceBundleIdentifier);
      for (const auto& app : copies) app.forceTerminate();
      return copies.empty();
    }));
    // This process is the namespace's init: what it inherited is reaped here.
    while (::waitpid(-1, nullptr, WNOHANG) > 0) {
    }
  }

  // A copy of the build's application in folder, its service bundle at version; the service's
  // executable.
  std::string application(const std::string& folder, const std::string& version) {
    const std::string app = home_ / (folder + "/Zavro Pellora.app");
    EXPECT_TRUE(copyBundle(PELLORA_APP_BUNDLE, app));
    EXPECT_TRUE(stampBundleVersion(app + "/" + kServiceInApp, version));
    return app + "/" + kServiceInApp + "/" + kServiceExecutable;
  }

  TestProcess& start(const std::string& name, const std::string& executable, std::vector<std::string> arguments = {},
                     std::map<std::string, std::string> env = {}) {
    auto& process = processes_[name];
    process = std::make_unique<TestProcess>();
    arguments.insert(arguments.begin(), executable);
    env.try_emplace("XPC_SERVICE_NAME", "");  // empty: removed
    EXPECT_TRUE(process->start(arguments, env, home_ / (name + ".log")));
    return *process;
  }
  TestProcess& startLaunchd(const std::string& name, const std::string& executable) {
    return start(name, executable, {}, {{"XPC_SERVICE_NAME", kServiceBundleIdentifier}});
  }

  // The exit status once the program ends by itself; -2 when it still runs after the timeout.
  static int exitStatus(TestProcess& process, std::chrono::milliseconds timeout = 15s) {
    int status = -2;
    if (!process.waitExit(timeout, &status)) return -2;
    return status;
  }

  std::optional<LockHolder> holder() const {
    const int fd = ServiceLockFile::openForProbe(home_.path());
    if (fd < 0) return std::nullopt;
    auto h = ServiceLockFile::readLockHolder(fd);
    ::close(fd);
    return h;
  }
  bool holds(const TestProcess& process) const {
    const auto h = holder();
    return h && h->pid == process.pid() && ServiceEnableHandler::isServiceLockHeld();
  }
  std::string lockLine() const { return readFile(ServiceLockFile::lockFilePath(home_.path())); }
  std::string portFile() const { return home_ / ".zavroPellora/port"; }
  // The port and key that the port file names, once it is complete.
  std::optional<std::pair<int, std::string>> port() const {
    const std::string text = readFile(portFile());
    const size_t comma = text.find(',');
    if (comma == std::string::npos || text.find('\n') == std::string::npos) return std::nullopt;
    return std::make_pair(std::stoi(text.substr(0, comma)), text.substr(comma + 1, text.find('\n') - comma - 1));
  }
  // The service behind the port file answers the file's key with its opening frames.
  bool serves(const TestProcess& process) const {
    const auto named = port();
    if (!named || !listensOn(process.pid(), named->first)) return false;
    LineClient client(named->first);
    return client.connected() && client.send(named->second + "\n") && client.readFrame() && client.readFrame();
  }

  std::shared_ptr<platform::defaults::UserDefaults> suite() const {
    return platform::defaults::UserDefaults::suite(kSharedDefaultsSuite);
  }
  // The Finder extension registered from the build's bundle, and its switch.
  void registerExtension() const {
    EXPECT_EQ(runToEnd({PELLORA_PLUGINKIT_PATH, "-a", PELLORA_EXTENSION_BUNDLE}, {}), 0);
  }
  std::optional<bool> extensionEnabled() const {
    const platform::plugins::PluginRegistry registry(home_ / ".config/pluginkit/registry.json");
    const auto plugin = registry.find(kFinderExtensionIdentifier);
    if (!plugin) return std::nullopt;
    return plugin->enabled;
  }

  TempDir home_;
  std::map<std::string, std::unique_ptr<TestProcess>> processes_;
};

TEST_F(ServiceLifecycle, HelpAndVersionStartNothing) {
  const std::string service = application("A", "57");
  std::string out;
  EXPECT_EQ(runToEnd({service, "--help"}, {}, &out), 0);
  EXPECT_NE(out.find("--from-app"), std::string::npos) << out;
  EXPECT_EQ(runToEnd({service, "--version"}, {}, &out), 0);
  EXPECT_NE(out.find("(57)"), std::string::npos) << out;
  EXPECT_FALSE(fs::exists(ServiceLockFile::lockFilePath(home_.path())));
  EXPECT_FALSE(fs::exists(portFile()));
}

TEST_F(ServiceLifecycle, ACopyOutsideTheApplicationsLoginItemsEndsAtOnce) {
  // The service bundle alone, and inside an application of another identifier.
  const std::string alone = home_ / "Elsewhere/Zavro Pellora Service.app";
  ASSERT_TRUE(copyBundle(std::string(PELLORA_APP_BUNDLE) + "/" + kServiceInApp, alone));
  const std::string other = application("Other", "57");
  const std::string otherApp = home_ / "Other/Zavro Pellora.app";
  auto info = platform::bundle::readPropertyList(otherApp + "/Contents/Info.plist");
  info["CFBundleIdentifier"] = "com.zavro.Pellora.Other";
  fs::remove(otherApp + "/Contents/Info.plist");
  std::ofstream(otherApp + "/Contents/Info.plist") << platform::bundle::writePropertyList(info);

  auto& first = start("alone", alone + "/" + kServiceExecutable);
  auto& second = start("other", other);
  EXPECT_EQ(exitStatus(first), 0);
  EXPECT_EQ(exitStatus(second), 0);
  EXPECT_EQ(occurrences(first.log(), "Service is not inside Zavro Pellora.app/Contents/Library/LoginItems (" +
                                         alone + ") - exiting"),
            1u)
      << first.log();
  EXPECT_NE(second.log().find("Service is not inside Zavro Pellora.app/Contents/Library/LoginItems (" +
                              platform::workspace::resolvingSymlinks(otherApp + "/" + kServiceInApp) + ") - exiting"),
            std::string::npos)
      << second.log();
  EXPECT_FALSE(fs::exists(ServiceLockFile::lockFilePath(home_.path())));
}

TEST_F(ServiceLifecycle, ANewerVersionDisplacesTheOlderAndRewritesTheLockLine) {
  auto& older = start("older", application("old", "1.2.9"));
  ASSERT_TRUE(waitUntil([&] { return holds(older) && serves(older); }));
  const std::string pid = std::to_string(older.pid());
  auto& newer = start("newer", application("new", "1.2.10"));
  // The newer copy gives up after its 3 seconds; that it holds the lock means it was in time.
  ASSERT_TRUE(waitUntil([&] { return holds(newer); }, 10s)) << newer.log();
  EXPECT_EQ(exitStatus(older), -1);  // killed
  EXPECT_EQ(lockLine(), std::to_string(newer.pid()) + ",1.2.10\n");
  EXPECT_TRUE(waitUntil([&] { return serves(newer); }));
  const std::string log = newer.log();
  EXPECT_EQ(occurrences(log, "Service lock held by pid " + pid + " version 1.2.9 (mine 1.2.10)"), 1u) << log;
  EXPECT_EQ(occurrences(log, "Stopping older service pid " + pid), 1u) << log;
  EXPECT_EQ(occurrences(log, "Service lock taken by pid " + std::to_string(newer.pid()) + " version 1.2.10"), 1u);
}

TEST_F(ServiceLifecycle, AnEqualOrOlderVersionGivesUpAfterThreeSeconds) {
  auto& running = start("running", application("running", "1.2.10"));
  ASSERT_TRUE(waitUntil([&] { return holds(running); }));
  const std::string line = lockLine();
  const auto started = std::chrono::steady_clock::now();
  auto& equal = start("equal", application("equal", "1.2.10"));
  auto& older = start("older", application("older", "1.2.9"));
  EXPECT_EQ(exitStatus(equal), 0);
  EXPECT_EQ(exitStatus(older), 0);
  EXPECT_GE(std::chrono::steady_clock::now() - started, 3s);
  for (TestProcess* copy : {&equal, &older}) {
    const std::string log = copy->log();
    EXPECT_EQ(occurrences(log, "Another service instance holds the lock - exiting (XPC_SERVICE_NAME none)"), 1u) << log;
    EXPECT_EQ(occurrences(log, "Service lock held by pid " + std::to_string(running.pid())), 1u) << log;
    EXPECT_EQ(log.find("Stopping"), std::string::npos) << log;
  }
  EXPECT_TRUE(running.running());
  EXPECT_EQ(lockLine(), line);
}

TEST_F(ServiceLifecycle, AHolderPidOfAnotherProgramIsNotTerminated) {
  // This test holds the lock; the line names a program in a bundle of another identifier.
  const std::string other = home_ / "Other.app";
  fs::create_directories(other + "/Contents/MacOS");
  std::ofstream(other + "/Contents/Info.plist")
      << platform::bundle::writePropertyList({{"CFBundleIdentifier", "com.zavro.Pellora.Other"},
                                              {"CFBundleExecutable", "sleep"}, {"CFBundleVersion", "1"}});
  fs::copy_file("/bin/sleep", other + "/Contents/MacOS/sleep");
  auto& program = start("program", other + "/Contents/MacOS/sleep", {"600"});
  ServiceLockFile::createHiddenFolder(home_.path());
  const int fd = ServiceLockFile::openForHolder(home_.path());
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
  ASSERT_TRUE(ServiceLockFile::writeHolderLine(fd, program.pid(), "0.1"));

  const std::string service = application("A", "2");
  auto& copy = start("copy", service);
  EXPECT_EQ(exitStatus(copy), 0);
  EXPECT_TRUE(program.running());
  std::string log = copy.log();
  EXPECT_EQ(occurrences(log, "Service lock held by pid " + std::to_string(program.pid()) + " version 0.1 (mine 2)"), 1u)
      << log;
  EXPECT_EQ(log.find("Stopping"), std::string::npos) << log;
  EXPECT_EQ(occurrences(log, "Another service instance holds the lock - exiting (XPC_SERVICE_NAME none)"), 1u) << log;

  // A line that names no holder is not read as one; the lock still counts.
  ::ftruncate(fd, 0);
  ASSERT_EQ(::pwrite(fd, "0,1\n", 4, 0), 4);
  auto& again = start("again", service);
  EXPECT_EQ(exitStatus(again), 0);
  log = again.log();
  EXPECT_EQ(log.find("Service lock held by pid"), std::string::npos) << log;
  EXPECT_EQ(occurrences(log, "Another service instance holds the lock - exiting (XPC_SERVICE_NAME none)"), 1u) << log;
  ::close(fd);
}

TEST_F(ServiceLifecycle, ALoginItemCopyWaitsInStandbyAndTakesOverWhenTheHolderEnds) {
  const std::string service = application("A", "57");
  auto& holder = start("holder", service);
  ASSERT_TRUE(waitUntil([&] { return holds(holder) && serves(holder); }));
  auto& standby = startLaunchd("standby", service);
  ASSERT_TRUE(waitUntil([&] { return ServiceLockFile::readStandbyMarker(home_.path()) == standby.pid(); }))
      << standby.log();
  // It waits past the other copies' give-up time, without touching the holder.
  EXPECT_FALSE(waitUntil([&] { return !standby.running() || !holder.running(); }, 4s));
  EXPECT_EQ(occurrences(standby.log(), "Started by launchd while another service copy runs - waiting to take over"), 1u)
      << standby.log();
  EXPECT_TRUE(holds(holder));

  ASSERT_EQ(holder.stop(), 0);
  ASSERT_TRUE(waitUntil([&] { return holds(standby); })) << standby.log();
  EXPECT_FALSE(fs::exists(ServiceLockFile::standbyMarkerPath(home_.path())));
  EXPECT_EQ(lockLine(), std::to_string(standby.pid()) + ",57\n");
  EXPECT_TRUE(waitUntil([&] { return serves(standby); })) << standby.log();
  // A copy in standby ends cleanly when asked to.
  EXPECT_EQ(standby.stop(), 0);
}

TEST_F(ServiceLifecycle, ACopyFromTheAppThatCannotGetTheLockRestoresFinderControl) {
  const std::string service = application("A", "57");
  auto& holder = start("holder", service);
  ASSERT_TRUE(waitUntil([&] { return holds(holder); }));
  // The holder publishes its own check of Finder control at start, and then only every 30 s.
  ASSERT_TRUE(waitUntil([&] { return suite()->object(kFinderControlKey).has_value(); }));

  ASSERT_TRUE(suite()->set(kFinderControlKey, Value("ok")));
  auto& fromApp = start("fromApp", service, {kFromAppArgument});
  // While it tries for the lock the key says it is asking.
  EXPECT_TRUE(waitUntil([&] { return suite()->string(kFinderControlKey) == "asking"; }));
  EXPECT_EQ(exitStatus(fromApp), 0);
  EXPECT_EQ(suite()->string(kFinderControlKey), "ok");

  // A key that was not there is removed again.
  ASSERT_TRUE(suite()->removeObject(kFinderControlKey));
  auto& again = start("again", service, {kFromAppArgument});
  EXPECT_TRUE(waitUntil([&] { return suite()->string(kFinderControlKey) == "asking"; }));
  EXPECT_EQ(exitStatus(again), 0);
  EXPECT_FALSE(suite()->object(kFinderControlKey).has_value());
  EXPECT_TRUE(holds(holder));
}

TEST_F(ServiceLifecycle, TheEnableKeyOffAtStartSwitchesTheExtensionOffAndEnds) {
  registerExtension();
  ASSERT_EQ(extensionEnabled(), true);
  ASSERT_TRUE(suite()->set(kEnabledDefaultsKey, Value("0")));
  auto& copy = start("copy", application("A", "57"));
  const pid_t pid = copy.pid();
  EXPECT_EQ(exitStatus(copy), 0);
  EXPECT_EQ(extensionEnabled(), false);
  EXPECT_TRUE(fs::exists(home_ / ".zavroPellora/extension.off-by-pellora"));
  EXPECT_EQ(occurrences(copy.log(), "PLEnabled is off - Finder extension off, service exiting"), 1u) << copy.log();
  // It had the lock, but the service's work never started.
  EXPECT_EQ(holder()->pid, pid);
  EXPECT_FALSE(fs::exists(portFile()));
}

TEST_F(ServiceLifecycle, SwitchingTheKeyOffWhileRunningEndsEveryCopy) {
  // The extension was switched off by this system: a start with the key on switches it back.
  registerExtension();
  ServiceEnableHandler::setFinderExtension(false);
  ASSERT_EQ(extensionEnabled(), false);
  const std::string service = application("A", "57");
  auto& running = start("running", service);
  ASSERT_TRUE(waitUntil([&] { return holds(running) && serves(running); })) << running.log();
  EXPECT_EQ(extensionEnabled(), true);
  EXPECT_FALSE(ServiceEnableHandler::offByMarkerExists());
  EXPECT_EQ(occurrences(running.log(), "Finder extension was turned off by Pellora - turning it on"), 1u);
  auto& standby = startLaunchd("standby", service);
  ASSERT_TRUE(waitUntil([&] { return ServiceLockFile::readStandbyMarker(home_.path()) == standby.pid(); }));

  ASSERT_TRUE(suite()->set(kEnabledDefaultsKey, Value("0")));
  EXPECT_EQ(exitStatus(running), 0);
  EXPECT_EQ(exitStatus(standby), -1);  // stopped by the running copy
  EXPECT_EQ(occurrences(running.log(), "ServiceEnableHandler -> Pellora disabled - service exiting"), 1u)
      << running.log();
  EXPECT_EQ(extensionEnabled(), false);
  EXPECT_TRUE(ServiceEnableHandler::offByMarkerExists());
  EXPECT_FALSE(ServiceEnableHandler::isServiceLockHeld());
}

TEST_F(ServiceLifecycle, TwentyCopiesAtOnceLeaveOneServiceAndItsPortFile) {
  const std::string service = application("A", "57");
  std::vector<TestProcess*> copies;
  for (int i = 0; i < 20; ++i) copies.push_back(&start("copy" + std::to_string(i), service));
  // Those that lose end after the lock wait, each by itself.
  ASSERT_TRUE(waitUntil(
      [&] {
        return std::count_if(copies.begin(), copies.end(), [](TestProcess* p) { return p->running(); }) <= 1;
      },
      60s));
  std::vector<TestProcess*> left;
  for (TestProcess* copy : copies) {
    if (copy->running()) {
      left.push_back(copy);
      continue;
    }
    EXPECT_EQ(exitStatus(*copy), 0);
    const std::string log = copy->log();
    EXPECT_EQ(occurrences(log, "Another service instance holds the lock - exiting (XPC_SERVICE_NAME none)"), 1u) << log;
    // The lock comes before the core: a copy that lost it never wrote a port file.
    EXPECT_EQ(log.find("Starting zavro pellora"), std::string::npos) << log;
  }
  ASSERT_EQ(left.size(), 1u);
  TestProcess& survivor = *left.front();
  EXPECT_TRUE(holds(survivor));
  EXPECT_EQ(RunningApplication::runningApplications(kServiceBundleIdentifier).size(), 1u);
  // The port file names the survivor's listening port, and it answers with the file's key.
  EXPECT_TRUE(waitUntil([&] { return serves(survivor); })) << readFile(portFile());
  EXPECT_EQ(occurrences(survivor.log(), "Starting zavro pellora"), 1u);
}

TEST_F(ServiceLifecycle, TheEnableHandlerStartsTheServiceAndAStandbyLoginItem) {
  const std::string service = application("A", "57");
  const std::string app = home_ / "A/Zavro Pellora.app";
  std::string out;
  ASSERT_EQ(runToEnd({PELLORA_ENABLE_SWITCH, app, "on"}, {}, &out), 0) << out;
  const auto h = holder();
  ASSERT_TRUE(h.has_value());
  EXPECT_EQ(h->version, "57");
  // The copy it opened came from the application; the login item's job waits behind it.
  const auto opened = RunningApplication::withProcessIdentifier(h->pid);
  ASSERT_TRUE(opened.has_value());
  EXPECT_EQ(opened->bundleURL(), platform::workspace::resolvingSymlinks(app + "/" + kServiceInApp));
  const platform::loginitems::LoginItems items;
  const auto job = items.runningJob(kServiceBundleIdentifier);
  ASSERT_TRUE(job.has_value());
  EXPECT_TRUE(waitUntil([&] { return ServiceLockFile::readStandbyMarker(home_.path()) == *job; }));

  // A second start by hand is refused; switching off stops both.
  auto& second = start("second", service);
  EXPECT_EQ(exitStatus(second), 0);
  EXPECT_EQ(occurrences(second.log(), "Another service instance holds the lock - exiting (XPC_SERVICE_NAME none)"), 1u);
  ASSERT_EQ(runToEnd({PELLORA_ENABLE_SWITCH, app, "off"}, {}, &out), 0) << out;
  EXPECT_TRUE(RunningApplication::runningApplications(kServiceBundleIdentifier).empty());
  // The standby copy may take the lock in the moment between the two kills; a killed process's
  // lock goes shortly after it.
  EXPECT_TRUE(waitUntil([] { return !ServiceEnableHandler::isServiceLockHeld(); }, 3s));
}

}  // namespace
}  // namespace pellora::testing
