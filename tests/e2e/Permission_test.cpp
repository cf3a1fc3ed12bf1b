// The permission tracker for real: shares of the simulated gateway that read, refuse (EPERM) or
// time out; network changes on interfaces that the test makes in a network namespace of its
// own; the hand-over to a service copy waiting in standby (the service stand-in in a bundle of
// the service's identifier); and Finder control through the Finder stand-in's consent store.
// Only mounts below the test's own folders count, so that other programs' shares never do.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include "FinderStandIn.h"
#include "GatewaySim.h"
#include "ServiceEnableHandler.h"
#include "ServiceLockFile.h"
#include "TempDir.h"
#include "TestProcess.h"
#include "Wait.h"
#include "bundle/PropertyList.h"
#include "defaults/UserDefaults.h"
#include "finder/PermissionStatus.h"
#include "finder/PermissionStatusTesting.h"
#include "finderscript/Protocol.h"
#include "log/Capture.h"
#include "process/Process.h"

#ifndef PELLORA_SERVICE_STANDIN
#error "PELLORA_SERVICE_STANDIN names the service stand-in program"
#endif

namespace pellora::testing {
namespace {

namespace fs = std::filesystem;
namespace script = platform::finderscript;
using namespace std::chrono_literals;
using platform::defaults::UserDefaults;
using Call = RecordingShareOwner::Call;
using Clock = PermissionStatus::Clock;

constexpr const char* kInsideNetworkNamespace = "PELLORA_TEST_IN_NETNS";

std::chrono::milliseconds ms(Clock::duration d) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(d);
}

class PermissionE2E : public ::testing::Test, public TrackerHarness {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "mounting the simulated share needs root";
  }
  void TearDown() override {
    for (const auto& folder : tmpfs) ::umount2(folder.c_str(), MNT_DETACH);
  }
  // A sim mounted from this thread.
  std::unique_ptr<GatewaySim> mountSim() {
    auto sim = std::make_unique<GatewaySim>();
    EXPECT_TRUE(sim->mount());
    return sim;
  }

  std::vector<std::string> tmpfs;
  platform::log::Capture log;
};

TEST_F(PermissionE2E, WithoutSmbMountsAccessIsUnknownAndBothCountsAreZero) {
  // Another kind of volume is no network share.
  const std::string volume = home.mkdir("volume");
  ASSERT_EQ(::mount("none", volume.c_str(), "tmpfs", 0, nullptr), 0) << std::strerror(errno);
  tmpfs.push_back(volume);
  GatewaySim sim;
  mounts->followKernel({volume, sim.mountPoint()});
  start(environment());
  EXPECT_EQ(mounts->listings(), 1u);
  EXPECT_EQ(text(kNetworkAccessKey), "unknown");
  EXPECT_EQ(number(kNetworkSharesKey), 0);
  EXPECT_EQ(number(kMonitoredSharesKey), 0);

  ASSERT_TRUE(sim.mount());
  refresh();
  EXPECT_EQ(text(kNetworkAccessKey), "ok");
  EXPECT_EQ(number(kNetworkSharesKey), 1);
  EXPECT_EQ(number(kMonitoredSharesKey), 1);
  EXPECT_EQ(owner->calls(), (std::vector<Call>{{"monitorAllowedShares", {sim.mountPoint()}}}));

  // Gone again: the counts go with it.
  ASSERT_TRUE(sim.unmount());
  refresh();
  EXPECT_EQ(text(kNetworkAccessKey), "unknown");
  EXPECT_EQ(number(kNetworkSharesKey), 0);
  EXPECT_EQ(number(kMonitoredSharesKey), 0);
}

TEST_F(PermissionE2E, ReadableAndRefusedSharesGiveOkAndTheRefusalIsLoggedOnce) {
  auto readable = mountSim();
  auto refused = mountSim();
  const std::string a = readable->mountPoint();
  const std::string b = refused->mountPoint();
  ASSERT_TRUE(refused->unreadable("/"));
  mounts->followKernel({a, b});

  start(environment());
  EXPECT_EQ(text(kNetworkAccessKey), "ok");
  EXPECT_EQ(number(kNetworkSharesKey), 2);
  // The refused share's marker cannot be read either.
  EXPECT_EQ(number(kMonitoredSharesKey), 1);
  EXPECT_EQ(owner->calls(), (std::vector<Call>{{"monitorAllowedShares", {a}}}));
  for (int i = 0; i < 3; ++i) refresh();
  const std::string refusal = "No access to network volume " + b + " (errno 1)";
  EXPECT_EQ(log.count(refusal), 1u);

  // Nothing readable and something refused: blocked.
  ASSERT_TRUE(readable->unreadable("/"));
  refresh();
  EXPECT_EQ(text(kNetworkAccessKey), "blocked");
  EXPECT_EQ(number(kMonitoredSharesKey), 0);

  // Both readable again: both gateway shares are taken in again.
  ASSERT_TRUE(readable->clear());
  ASSERT_TRUE(refused->clear());
  refresh();
  EXPECT_EQ(text(kNetworkAccessKey), "ok");
  EXPECT_EQ(number(kMonitoredSharesKey), 2);
  EXPECT_EQ(owner->calls(), (std::vector<Call>{{"monitorAllowedShares", {a}},
                                                {"monitorAllowedShares", {a, b}},
                                                {"refreshShares", {a, b}}}));

  // Readable in between, the next refusal is logged again.
  ASSERT_TRUE(refused->unreadable("/"));
  refresh();
  refresh();
  EXPECT_EQ(log.count(refusal), 2u);
}

TEST_F(PermissionE2E, TimedOutShareIsRetriedAfterFiveTenTwentyThenOnlyByTheTimer) {
  auto sim = mountSim();
  const std::string share = sim->mountPoint();
  ASSERT_TRUE(sim->outage("/", "ETIMEDOUT"));
  mounts->followKernel({share});
  // 5, 10 and 20 s scaled down forty times; the timer well after the last retry.
  auto env = environment();
  env.periods.retryDelays = {125ms, 250ms, 500ms};
  env.periods.timerInterval = 3s;
  const auto started = Clock::now();
  start(env);

  ASSERT_TRUE(waitUntil([&] { return mounts->listings() >= 5; }, 20s));
  settle();
  const auto times = mounts->times();
  EXPECT_GE(ms(times[1] - times[0]).count(), 125);
  EXPECT_GE(ms(times[2] - times[1]).count(), 250);
  EXPECT_GE(ms(times[3] - times[2]).count(), 500);
  // After three retries only the timer looks again.
  EXPECT_GE(ms(times[4] - started).count(), 3000) << "the fifth check came before the timer";
  EXPECT_EQ(text(kNetworkAccessKey), "unknown");
  EXPECT_EQ(log.count("Cannot read " + share + " (errno " + std::to_string(ETIMEDOUT) + ")"), 1u);
  EXPECT_TRUE(owner->calls().empty());

  // Back: the share is a gateway share that was unreadable, so it is refreshed.
  ASSERT_TRUE(sim->clear());
  refresh();
  EXPECT_EQ(text(kNetworkAccessKey), "ok");
  EXPECT_EQ(owner->calls(), (std::vector<Call>{{"monitorAllowedShares", {share}},
                                                {"refreshShares", {share}}}));
}

bool ip(const std::string& args) {
  return platform::process::runShell("ip " + args + " 2>&1").exitStatus == 0;
}

// A link named name that is up and has an address: a veth end whose peer is up (this kernel
// has no dummy driver), so that it has a carrier.
bool addUsableLink(const std::string& name, const std::string& address) {
  return ip("link add " + name + " type veth peer name " + name + "p") &&
         ip("link set " + name + "p up") && ip("addr add " + address + " dev " + name) &&
         ip("link set " + name + " up");
}

TEST_F(PermissionE2E, NetworkChangesWithinTheDebounceWindowLeadToOneCheck) {
  // The test runs again in a network namespace of its own, where only its interfaces change.
  if (!std::getenv(kInsideNetworkNamespace)) {
    if (platform::process::run({"unshare", "--net", "true"}).exitStatus != 0) {
      GTEST_SKIP() << "unshare --net is refused here";
    }
    const std::string self = fs::read_symlink("/proc/self/exe");
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    const auto inside = platform::process::runShell(
        std::string(kInsideNetworkNamespace) + "=1 unshare --net " +
            platform::process::shellQuote(self) + " --gtest_filter=" +
            platform::process::shellQuote(std::string(test->test_suite_name()) + "." + test->name()) +
            " 2>&1",
        {.captureOutput = true});
    EXPECT_EQ(inside.exitStatus, 0) << "inside the namespace:\n" << inside.output;
    return;
  }

  mounts->set({});
  auto env = environment();
  env.makePathMonitor = [] { return platform::network::PathMonitor::create(); };
  const auto debounce = 2s;
  env.periods.networkDebounce = debounce;
  start(env);
  ASSERT_TRUE(waitUntil([&] { return tracker->networkSignature() == "unsatisfied "; }));
  // The first signature is where the network is, not a change: no check after the window.
  std::atomic<bool> passed{false};
  queue->asyncAfter(debounce + 100ms, [&] { passed = true; });
  ASSERT_TRUE(waitUntil([&] { return passed.load(); }));
  EXPECT_EQ(mounts->listings(), 1u);

  ASSERT_TRUE(addUsableLink("zz0", "10.77.1.1/24"));
  ASSERT_TRUE(waitUntil([&] { return tracker->networkSignature() == "satisfied zz0"; }));
  ASSERT_TRUE(addUsableLink("aa0", "10.77.2.1/24"));
  ASSERT_TRUE(waitUntil([&] { return tracker->networkSignature() == "satisfied aa0,zz0"; }));
  const auto beforeLast = Clock::now();
  ASSERT_TRUE(ip("link set zz0 down"));
  ASSERT_TRUE(waitUntil([&] { return tracker->networkSignature() == "satisfied aa0"; }));
  EXPECT_LT(Clock::now() - beforeLast, debounce) << "the changes were not within one window";

  ASSERT_TRUE(log.waitFor("Network changed (satisfied aa0) - checking the network shares", 10s));
  settle();
  // The checks due for the earlier changes came first and found a newer change.
  EXPECT_EQ(log.count("Network changed ("), 1u);
  ASSERT_EQ(mounts->listings(), 3u);  // start, the change's check (with its share listing)
  EXPECT_GE(ms(mounts->times()[1] - beforeLast), ms(debounce));
}

void writeBundle(const std::string& bundle, const std::string& identifier) {
  fs::create_directories(bundle + "/Contents/MacOS");
  std::ofstream(bundle + "/Contents/Info.plist") << platform::bundle::writePropertyList(
      {{"CFBundleIdentifier", identifier},
       {"CFBundleExecutable", "Zavro Pellora Service"},
       {"CFBundleVersion", "7"}});
  const std::string executable = bundle + "/Contents/MacOS/Zavro Pellora Service";
  fs::copy_file(PELLORA_SERVICE_STANDIN, executable);
  fs::permissions(executable, fs::perms::owner_all);
}

TEST_F(PermissionE2E, CopyFromTheApplicationHandsOverOnlyWhenAllIsSettledAndIdle) {
  auto sim = mountSim();
  mounts->followKernel({sim->mountPoint()});
  const std::string app = home / "Applications/Zavro Pellora.app";
  const std::string service = app + "/" + kServiceBundleInApp;
  writeBundle(service, kServiceBundleIdentifier);
  const std::string elsewhere = home / "Elsewhere/Zavro Pellora Service.app";
  writeBundle(elsewhere, kServiceBundleIdentifier);
  // This program's bundle as a path through a symbolic link.
  fs::create_directory_symlink(home / "Applications", home / "linked");
  const std::string ownBundle = home / ("linked/Zavro Pellora.app/" + std::string(kServiceBundleInApp));

  // This process holds the service lock, as the copy the application started does; the
  // login-item copies then wait in standby.
  ServiceLockFile::createHiddenFolder(home.path());
  int lock = ServiceLockFile::openForHolder(home.path());
  ASSERT_GE(lock, 0);
  ASSERT_EQ(::flock(lock, LOCK_EX | LOCK_NB), 0);
  const std::string records = home.mkdir("records");
  const std::map<std::string, std::string> loginItem = {{"HOME", home.path()},
                                                         {"XPC_SERVICE_NAME", kServiceBundleIdentifier},
                                                         {"PELLORA_STANDIN_RECORDS", records}};
  TestProcess other;
  ASSERT_TRUE(other.start({elsewhere + "/Contents/MacOS/Zavro Pellora Service"}, loginItem,
                          home / "other.log"));
  ASSERT_TRUE(waitUntil([&] { return ServiceLockFile::readStandbyMarker(home.path()) == other.pid(); }));
  TestProcess standby;
  ASSERT_TRUE(standby.start({service + "/Contents/MacOS/Zavro Pellora Service"}, loginItem,
                            home / "standby.log"));
  ASSERT_TRUE(waitUntil([&] { return ServiceLockFile::readStandbyMarker(home.path()) == standby.pid(); }));

  // A copy started the usual way never hands over.
  auto env = environment({"service"});
  env.mainBundlePath = ownBundle;
  start(env);
  EXPECT_EQ(*exits, 0);

  // Finder control not decided yet.
  env.arguments = {"service", kFromAppArgument};
  *consent = script::errAEEventWouldRequireUserConsent;
  start(env);
  EXPECT_EQ(text(kFinderControlKey), "notAsked");
  EXPECT_EQ(*exits, 0);
  // Decided, but the share refuses access.
  *consent = script::noErr;
  ASSERT_TRUE(sim->unreadable("/"));
  refresh();
  EXPECT_EQ(text(kNetworkAccessKey), "blocked");
  EXPECT_EQ(*exits, 0);
  // Readable, but bring-online work is queued, then running.
  ASSERT_TRUE(sim->clear());
  activity->queuedRequests = true;
  refresh();
  EXPECT_EQ(text(kNetworkAccessKey), "ok");
  EXPECT_EQ(*exits, 0);
  activity->queuedRequests = false;
  activity->batchRunning = true;
  refresh();
  EXPECT_EQ(*exits, 0);
  activity->batchRunning = false;

  // The marker names a copy of another bundle, a program in no bundle, this process, nobody.
  for (const pid_t pid : {other.pid(), sim->pid(), ::getpid()}) {
    ASSERT_TRUE(ServiceLockFile::writeStandbyMarker(home.path(), pid));
    refresh();
    EXPECT_EQ(*exits, 0) << "standby pid " << pid;
  }
  ServiceLockFile::removeStandbyMarker(home.path());
  refresh();
  EXPECT_EQ(*exits, 0);

  // All settled: this copy ends, for the copy of its own bundle.
  ASSERT_TRUE(ServiceLockFile::writeStandbyMarker(home.path(), standby.pid()));
  refresh();
  EXPECT_EQ(*exits, 1);
  EXPECT_EQ(log.count("Nothing left to ask - handing over to the login item service pid " +
                       std::to_string(standby.pid())),
            1u);
  // A denial is as settled as a grant.
  *consent = script::errAEEventNotPermitted;
  refresh();
  EXPECT_EQ(*exits, 2);

  // The standby copy takes over once this one is gone.
  other.stop();
  ::close(lock);
  ASSERT_TRUE(waitUntil([&] {
    const int fd = ServiceLockFile::openForProbe(home.path());
    const auto holder = ServiceLockFile::readLockHolder(fd);
    ::close(fd);
    return holder && holder->pid == standby.pid();
  }));
  EXPECT_FALSE(ServiceLockFile::readStandbyMarker(home.path()));
}

// The process's own tracker with the service's own suite, consent query and queues: what the
// status window reads after a check, with Finder control decided in the Finder stand-in.
TEST_F(PermissionE2E, StatusWindowValuesAreInTheSharedSuiteAfterACheck) {
  FinderStandIn finder;
  ASSERT_TRUE(finder.start());
  ::setenv("PELLORA_FINDER_SCRIPTING_SOCKET", finder.scriptingSocket().c_str(), 1);
  auto sim = mountSim();
  mounts->followKernel({sim->mountPoint()});

  PermissionStatus::Environment env;
  env.listMounts = [table = mounts] { return table->list(); };
  // Nothing of it may run once the test's folders are gone.
  env.makePathMonitor = [] { return nullptr; };
  env.periods.timerInterval = 24h;
  env.exitProcess = [](int status) { ADD_FAILURE() << "exit " << status; };
  PermissionStatus::setEnvironment(env);
  PermissionStatus::start();

  // Read as the status window reads them: its own view of the suite.
  const auto window = UserDefaults::suite(kSharedDefaultsSuite);
  const auto shows = [&](const std::string& access, const std::string& finderControl) {
    return waitUntil([&] {
      return window->string(kNetworkAccessKey) == access &&
             window->string(kFinderControlKey) == finderControl &&
             window->integer(kNetworkSharesKey) == 1 && window->integer(kMonitoredSharesKey) == 1;
    });
  };
  EXPECT_TRUE(shows("ok", "notAsked")) << window->string(kFinderControlKey).value_or("none");

  const std::string self = fs::read_symlink("/proc/self/exe");
  ASSERT_EQ(finder.run({"consent", "allow", self}).status, 0);
  PermissionStatus::refresh();
  EXPECT_TRUE(shows("ok", "ok"));
  ASSERT_EQ(finder.run({"consent", "deny", self}).status, 0);
  PermissionStatus::refresh();
  EXPECT_TRUE(shows("ok", "denied"));
  PermissionStatus::extensionReported("blocked");
  EXPECT_TRUE(shows("blocked", "denied"));
  // Leave nothing that checks again.
  PermissionStatus::queue()->sync([] {});
  ::unsetenv("PELLORA_FINDER_SCRIPTING_SOCKET");
}

}  // namespace
}  // namespace pellora::testing
