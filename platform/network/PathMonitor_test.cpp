// The path monitor in a network namespace of the test's own, with interfaces the test makes:
// the test runs itself again under "unshare --net" (as root), so that the machine's own
// interfaces neither show nor change.
#include "network/PathMonitor.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <mutex>

#include "Wait.h"
#include "process/Process.h"

namespace platform::network {
namespace {

using namespace std::chrono_literals;
using pellora::testing::waitUntil;

constexpr const char* kInside = "PELLORA_TEST_IN_NETNS";

bool ip(const std::string& args) {
  return process::runShell("ip " + args + " 2>&1").exitStatus == 0;
}

// Adds a link named name: a dummy interface, or (where the kernel has no dummy driver) one end
// of a veth pair whose other end, peer, stays without an address.
bool addLink(const std::string& name, const std::string& peer) {
  return ip("link add " + name + " type dummy") ||
         (ip("link add " + name + " type veth peer name " + peer) &&
          ip("link set " + peer + " up"));
}

enum class Where { here, ranInside, skipped };

// Runs the calling test again in a network namespace of its own: here when this is the copy
// inside (do the work), ranInside when the copy has run (its result is checked), skipped (with
// the reason) when no namespace can be made.
Where inOwnNetworkNamespace(std::string& why) {
  if (std::getenv(kInside)) return Where::here;
  if (::geteuid() != 0) {
    why = "a network namespace of the test's own needs root";
    return Where::skipped;
  }
  if (process::run({"unshare", "--net", "true"}).exitStatus != 0) {
    why = "unshare --net is refused here (no privilege for network namespaces)";
    return Where::skipped;
  }
  const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
  const std::string self = std::filesystem::read_symlink("/proc/self/exe");
  const std::string filter = std::string(test->test_suite_name()) + "." + test->name();
  const auto inside = process::runShell(std::string(kInside) + "=1 unshare --net " +
                                            process::shellQuote(self) + " --gtest_filter=" +
                                            process::shellQuote(filter) + " 2>&1",
                                        {.captureOutput = true});
  EXPECT_EQ(inside.exitStatus, 0) << "inside the namespace:\n" << inside.output;
  return Where::ranInside;
}

struct Updates {
  std::mutex mutex;
  std::vector<Path> paths;
  bool offQueue = false;

  void add(const Path& p, const dispatch::Queue& queue) {
    std::lock_guard lock(mutex);
    if (!queue.isCurrent()) offQueue = true;
    paths.push_back(p);
  }
  size_t size() {
    std::lock_guard lock(mutex);
    return paths.size();
  }
  Path last() {
    std::lock_guard lock(mutex);
    return paths.empty() ? Path{} : paths.back();
  }
  bool lastIs(const std::vector<std::string>& names) {
    std::lock_guard lock(mutex);
    return !paths.empty() && paths.back().availableInterfaces == names;
  }
};

TEST(PathMonitor, FollowsInterfacesComingUpAndGoingDown) {
  std::string why;
  switch (inOwnNetworkNamespace(why)) {
    case Where::skipped:
      GTEST_SKIP() << why;
    case Where::ranInside:
      return;
    case Where::here:
      break;
  }
  // A fresh namespace has only its loopback, which is no path.
  EXPECT_EQ(currentPath(), Path{});
  ASSERT_TRUE(ip("link set lo up"));

  auto queue = dispatch::makeSerialQueue("test.network");
  Updates updates;
  auto monitor = PathMonitor::create();
  ASSERT_NE(monitor, nullptr);
  monitor->setUpdateHandler([&](const Path& p) { updates.add(p, *queue); });
  monitor->start(queue);
  ASSERT_TRUE(waitUntil([&] { return updates.size() == 1; }));
  EXPECT_EQ(updates.last().status, PathStatus::unsatisfied);
  EXPECT_EQ(updates.last().statusText(), "unsatisfied");

  // An interface that is up but has no address is no path either; with one it is.
  ASSERT_TRUE(addLink("zz0", "zz0peer"));
  ASSERT_TRUE(ip("link set zz0 up"));
  ASSERT_TRUE(ip("addr add 10.77.1.1/24 dev zz0"));
  ASSERT_TRUE(waitUntil([&] { return updates.lastIs({"zz0"}); })) << updates.last().statusText();
  EXPECT_EQ(updates.last().status, PathStatus::satisfied);
  EXPECT_EQ(updates.last().statusText(), "satisfied");

  // Names are sorted, whatever the order they came in.
  ASSERT_TRUE(addLink("aa0", "aa0peer"));
  ASSERT_TRUE(ip("addr add 10.77.2.1/24 dev aa0"));
  ASSERT_TRUE(ip("link set aa0 up"));
  ASSERT_TRUE(waitUntil([&] { return updates.lastIs({"aa0", "zz0"}); }));

  ASSERT_TRUE(ip("link set zz0 down"));
  ASSERT_TRUE(waitUntil([&] { return updates.lastIs({"aa0"}); }));
  // Every update differed from the one before it.
  {
    std::lock_guard lock(updates.mutex);
    for (size_t i = 1; i < updates.paths.size(); ++i) {
      EXPECT_NE(updates.paths[i], updates.paths[i - 1]) << "update " << i;
    }
    EXPECT_FALSE(updates.offQueue);
  }

  // Cancelled, it tells nothing more.
  monitor->cancel();
  const size_t before = updates.size();
  ASSERT_TRUE(ip("link set aa0 down"));
  EXPECT_TRUE(waitUntil([] { return currentPath().availableInterfaces.empty(); }));
  queue->sync([] {});
  EXPECT_EQ(updates.size(), before);
}

}  // namespace
}  // namespace platform::network
