// The permission tracker over folders of the test's own that the mount table reports as SMB
// shares, with a consent query the test answers. The simulated gateway, network changes and
// the hand-over are in tests/e2e/Permission_test.cpp.
#include "finder/PermissionStatus.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "finder/PermissionStatusTesting.h"
#include "log/Capture.h"
#include "xattr/Xattr.h"

namespace {

using pellora::testing::smbMount;
using Call = pellora::testing::RecordingShareOwner::Call;
namespace script = platform::finderscript;

class PermissionStatusTest : public ::testing::Test, public pellora::testing::TrackerHarness {
 protected:
  void TearDown() override { EXPECT_EQ(*exits, 0); }

  std::string share(const std::string& name, bool marker = true) {
    const std::string path = std::filesystem::canonical(home.mkdir(name)).string();
    if (marker) {
      EXPECT_EQ(platform::xattr::set(path, "is.zavro.share", "ZAVRO", 5, 0, 0), 0);
    }
    return path;
  }

  platform::log::Capture log;
};

TEST_F(PermissionStatusTest, ExtensionsBlockedWinsOverReadableSharesUntilItReportsAnotherValue) {
  const std::string gateway = share("gateway");
  mounts->set({smbMount(gateway), smbMount(share("plain", false)),
               {.mountPoint = home.path(), .source = "/dev/vda", .type = "ext4", .fsType = "ext4"}});
  // A suite that cannot be opened skips the whole check.
  *suiteOpens = false;
  start(environment());
  EXPECT_EQ(mounts->listings(), 0u);
  EXPECT_FALSE(text(kNetworkAccessKey));

  *suiteOpens = true;
  refresh();
  EXPECT_EQ(text(kNetworkAccessKey), "ok");
  EXPECT_EQ(number(kNetworkSharesKey), 2);
  EXPECT_EQ(number(kMonitoredSharesKey), 1);
  EXPECT_EQ(owner->calls(), (std::vector<Call>{{"monitorAllowedShares", {gateway}}}));

  report("blocked");
  EXPECT_EQ(text(kNetworkAccessKey), "blocked");
  refresh();
  EXPECT_EQ(text(kNetworkAccessKey), "blocked");
  // The same report again is no news: no check.
  const size_t listings = mounts->listings();
  report("blocked");
  EXPECT_EQ(mounts->listings(), listings);
  EXPECT_EQ(log.count("Finder extension reports network volume access: blocked"), 1u);

  report("ok");
  EXPECT_EQ(text(kNetworkAccessKey), "ok");
  EXPECT_EQ(mounts->listings(), listings + 1);
  // The shares were readable all along: nothing new for the owner.
  EXPECT_EQ(owner->calls().size(), 1u);
}

TEST_F(PermissionStatusTest, DenialIsKeptBySilentChecksThatSayNotAsked) {
  *consent = script::errAEEventNotPermitted;
  start(environment());
  EXPECT_EQ(text(kFinderControlKey), "denied");
  *consent = script::errAEEventWouldRequireUserConsent;
  refresh();
  EXPECT_EQ(text(kFinderControlKey), "denied");

  *consent = script::noErr;
  refresh();
  EXPECT_EQ(text(kFinderControlKey), "ok");
  // Only a denial is kept; a grant that is gone is gone.
  *consent = script::errAEEventWouldRequireUserConsent;
  refresh();
  EXPECT_EQ(text(kFinderControlKey), "notAsked");
  *consent = script::procNotFound;
  refresh();
  EXPECT_EQ(text(kFinderControlKey), "unknown");
  // A copy started the usual way never asks the user.
  EXPECT_EQ(*asks, std::vector<bool>(5, false));
}

TEST_F(PermissionStatusTest, CopyFromTheApplicationAsksOnceThenLooksAtTheSharesAgain) {
  mounts->set({smbMount(share("gateway"))});
  ASSERT_TRUE(suite->set(kFinderControlKey, "asking"));
  *consent = script::errAEEventNotPermitted;
  start(environment({"service", kFromAppArgument}));
  EXPECT_EQ(text(kFinderControlKey), "denied");
  // The question may have waited long for the user.
  EXPECT_EQ(mounts->listings(), 2u);
  EXPECT_EQ(owner->calls().size(), 1u);

  refresh();
  tracker->start();  // only the first start counts
  settle();
  EXPECT_EQ(*asks, (std::vector<bool>{true, false}));
  EXPECT_EQ(mounts->listings(), 3u);
}

}  // namespace
