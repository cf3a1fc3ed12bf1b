// The permission tracker over folders of the test's own that the mount table reports as SMB
// shares, a consent query the test answers, and the shared suite in a temporary configuration
// folder. The simulated gateway, network changes and the hand-over are in
// tests/e2e/Permission_test.cpp.
#include "finder/PermissionStatus.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>

#include "ServiceEnableHandler.h"
#include "TempDir.h"
#include "defaults/UserDefaults.h"
#include "finder/PermissionStatusTesting.h"
#include "finderscript/Protocol.h"
#include "log/Capture.h"
#include "xattr/Xattr.h"

namespace {

using namespace std::chrono_literals;
using pellora::testing::MountTable;
using pellora::testing::RecordingShareOwner;
using pellora::testing::TempDir;
using Call = RecordingShareOwner::Call;
namespace script = platform::finderscript;
using platform::defaults::UserDefaults;

class PermissionStatusTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("XDG_CONFIG_HOME", (dir_ / "config").c_str(), 1);
    ::setenv("PELLORA_MANAGED_DEFAULTS_DIR", (dir_ / "managed").c_str(), 1);
    suite_ = UserDefaults::suite(kSharedDefaultsSuite);
    ASSERT_NE(suite_, nullptr);
  }
  void TearDown() override {
    tracker_.reset();
    // Nothing of the tracker runs once its queue has run what was posted.
    queue_->sync([] {});
    ::unsetenv("XDG_CONFIG_HOME");
    ::unsetenv("PELLORA_MANAGED_DEFAULTS_DIR");
  }

  PermissionStatus::Environment environment(std::vector<std::string> arguments = {"service"}) {
    PermissionStatus::Environment env;
    env.openSuite = [this, open = suiteOpens_] { return *open ? suite_ : nullptr; };
    env.listMounts = [table = mounts_] { return table->list(); };
    env.consent = [answer = consent_, asks = asks_](const script::AEAddressDesc& target, bool ask) {
      EXPECT_EQ(target.bundleIdentifier, "com.apple.finder");
      asks->push_back(ask);
      return answer->load();
    };
    env.makePathMonitor = [] { return nullptr; };
    env.queue = queue_;
    env.mainQueue = main_;
    // Checks come only when the test asks for them.
    env.periods.timerInterval = 1h;
    env.arguments = std::move(arguments);
    env.home = dir_.path();
    env.exitProcess = [](int status) { ADD_FAILURE() << "exit " << status; };
    env.delegate = owner_;
    return env;
  }
  void start(PermissionStatus::Environment env) {
    tracker_ = PermissionStatus::Tracker::create(std::move(env));
    tracker_->start();
    settle();
  }
  void refresh() {
    tracker_->refresh();
    settle();
  }
  void report(const std::string& value) {
    tracker_->extensionReported(value);
    settle();
  }
  // The tracker's queue, then the main queue, have run what was posted so far.
  void settle() {
    queue_->sync([] {});
    main_->sync([] {});
  }

  std::string share(const std::string& name, bool marker = true) {
    const std::string path = std::filesystem::canonical(dir_.mkdir(name)).string();
    if (marker) {
      EXPECT_EQ(platform::xattr::set(path, "is.zavro.share", "ZAVRO", 5, 0, 0), 0);
    }
    return path;
  }
  std::optional<std::string> text(const std::string& key) { return suite_->string(key); }
  std::optional<int64_t> number(const std::string& key) { return suite_->integer(key); }

  TempDir dir_;
  std::shared_ptr<UserDefaults> suite_;
  std::shared_ptr<std::atomic<bool>> suiteOpens_ = std::make_shared<std::atomic<bool>>(true);
  std::shared_ptr<MountTable> mounts_ = std::make_shared<MountTable>();
  std::shared_ptr<std::atomic<int>> consent_ = std::make_shared<std::atomic<int>>(script::noErr);
  // Only the tracker's queue appends; the test reads after settle().
  std::shared_ptr<std::vector<bool>> asks_ = std::make_shared<std::vector<bool>>();
  std::shared_ptr<RecordingShareOwner> owner_ = std::make_shared<RecordingShareOwner>();
  std::shared_ptr<platform::dispatch::Queue> queue_ =
      platform::dispatch::makeSerialQueue("test.permissions");
  std::shared_ptr<platform::dispatch::Queue> main_ = platform::dispatch::makeSerialQueue("test.main");
  std::shared_ptr<PermissionStatus::Tracker> tracker_;
  platform::log::Capture log_;
};

TEST_F(PermissionStatusTest, ExtensionsBlockedWinsOverReadableSharesUntilItReportsAnotherValue) {
  const std::string gateway = share("gateway");
  const std::string plain = share("plain", false);
  mounts_->set({pellora::testing::smbMount(gateway), pellora::testing::smbMount(plain),
                {.mountPoint = dir_.path(), .source = "/dev/vda", .type = "ext4", .fsType = "ext4"}});

  // A suite that cannot be opened skips the whole check.
  *suiteOpens_ = false;
  start(environment());
  EXPECT_EQ(mounts_->listings(), 0u);
  EXPECT_FALSE(text(kNetworkAccessKey));

  *suiteOpens_ = true;
  refresh();
  EXPECT_EQ(text(kNetworkAccessKey), "ok");
  EXPECT_EQ(number(kNetworkSharesKey), 2);
  EXPECT_EQ(number(kMonitoredSharesKey), 1);
  EXPECT_EQ(owner_->calls(), (std::vector<Call>{{"monitorAllowedShares", {gateway}}}));

  report("blocked");
  EXPECT_EQ(text(kNetworkAccessKey), "blocked");
  EXPECT_TRUE(log_.contains("Finder extension reports network volume access: blocked"));
  refresh();
  EXPECT_EQ(text(kNetworkAccessKey), "blocked");
  // The same report again is no news: no check.
  const size_t listings = mounts_->listings();
  report("blocked");
  EXPECT_EQ(mounts_->listings(), listings);
  EXPECT_EQ(log_.count("Finder extension reports network volume access: "), 1u);

  report("ok");
  EXPECT_EQ(text(kNetworkAccessKey), "ok");
  EXPECT_EQ(mounts_->listings(), listings + 1);
  // The shares themselves were readable all along: nothing new for the owner.
  EXPECT_EQ(owner_->calls().size(), 1u);
}

TEST_F(PermissionStatusTest, DenialIsKeptBySilentChecksThatSayNotAsked) {
  mounts_->set({});
  *consent_ = script::errAEEventNotPermitted;
  start(environment());
  EXPECT_EQ(text(kFinderControlKey), "denied");
  EXPECT_EQ(text(kNetworkAccessKey), "unknown");
  EXPECT_EQ(number(kNetworkSharesKey), 0);
  EXPECT_EQ(number(kMonitoredSharesKey), 0);

  *consent_ = script::errAEEventWouldRequireUserConsent;
  refresh();
  EXPECT_EQ(text(kFinderControlKey), "denied");

  *consent_ = script::noErr;
  refresh();
  EXPECT_EQ(text(kFinderControlKey), "ok");
  // Only a denial is kept; a grant that is gone is gone.
  *consent_ = script::errAEEventWouldRequireUserConsent;
  refresh();
  EXPECT_EQ(text(kFinderControlKey), "notAsked");
  *consent_ = script::procNotFound;
  refresh();
  EXPECT_EQ(text(kFinderControlKey), "unknown");
  // A copy started the usual way never asks the user.
  EXPECT_EQ(*asks_, std::vector<bool>(5, false));
}

TEST_F(PermissionStatusTest, CopyFromTheApplicationAsksOnceAndReplacesAsking) {
  mounts_->set({pellora::testing::smbMount(share("gateway"))});
  ASSERT_TRUE(suite_->set(kFinderControlKey, "asking"));
  *consent_ = script::errAEEventNotPermitted;
  start(environment({"service", "--from-app"}));
  EXPECT_EQ(text(kFinderControlKey), "denied");
  // The shares are looked at again after the question, which may have waited for the user.
  EXPECT_EQ(mounts_->listings(), 2u);
  EXPECT_EQ(owner_->callsOf("monitorAllowedShares").size(), 1u);

  refresh();
  EXPECT_EQ(*asks_, (std::vector<bool>{true, false}));
  EXPECT_EQ(mounts_->listings(), 3u);
  // A second start changes nothing.
  tracker_->start();
  settle();
  EXPECT_EQ(asks_->size(), 2u);
}

TEST_F(PermissionStatusTest, ShareReadableAgainGoesToTheOwnerAndErrorsAreLoggedOncePerOutage) {
  const std::string readable = share("readable");
  const std::string missing = dir_.path() + "/later";
  mounts_->set({pellora::testing::smbMount(readable), pellora::testing::smbMount(missing)});
  start(environment());
  refresh();
  refresh();
  const std::string cannot = "Cannot read " + missing + " (errno 2)";
  EXPECT_EQ(log_.count(cannot), 1u);
  EXPECT_EQ(text(kNetworkAccessKey), "ok");
  EXPECT_EQ(number(kNetworkSharesKey), 2);
  EXPECT_EQ(number(kMonitoredSharesKey), 1);

  // Readable now, and a gateway share: recovered, once.
  share("later");
  refresh();
  EXPECT_EQ(number(kMonitoredSharesKey), 2);
  refresh();
  EXPECT_EQ(owner_->calls(), (std::vector<Call>{{"monitorAllowedShares", {readable}},
                                                {"refreshShares", {missing}}}));

  // Once it was readable, the same failure is news again.
  std::filesystem::remove(missing);
  refresh();
  refresh();
  EXPECT_EQ(log_.count(cannot), 2u);

  // Nothing readable: unknown; readable again: the owner hears of the gateway shares again.
  std::filesystem::remove(readable);
  refresh();
  EXPECT_EQ(text(kNetworkAccessKey), "unknown");
  EXPECT_EQ(number(kMonitoredSharesKey), 0);
  share("readable");
  refresh();
  EXPECT_EQ(text(kNetworkAccessKey), "ok");
  EXPECT_EQ(owner_->calls().back(), (Call{"refreshShares", {readable}}));
  EXPECT_EQ(owner_->callsOf("monitorAllowedShares").back(),
            (Call{"monitorAllowedShares", {readable}}));
  EXPECT_EQ(owner_->callsOf("monitorAllowedShares").size(), 2u);
}

}  // namespace
