// The service's owner of the core in this process: mount notifications handed to it directly,
// folders carrying the share marker standing in for mounted gateway shares, its core started
// on a home of the test's own with a client connected as an extension, and the permission
// tracker checking a mount table of the test's own.
#include "ShellExtentionController.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <nlohmann/json.hpp>

#include "LineClient.h"
#include "PortFile.h"
#include "TempDir.h"
#include "core/ExtensionHelper.h"
#include "finder/PermissionStatusTesting.h"
#include "log/Capture.h"
#include "mounts/MountNotifier.h"
#include "xattr/Xattr.h"

namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using pellora::testing::LineClient;
using pellora::testing::MountTable;
using pellora::testing::TempDir;
using Paths = std::vector<std::string>;

// The process's permission tracker, made with the first owner: its checks list this table, and
// its queue is the test's, so that the test can wait for the checks asked for.
struct Permissions {
  TempDir dir;
  std::shared_ptr<MountTable> mounts = std::make_shared<MountTable>();
  std::shared_ptr<platform::dispatch::Queue> queue = platform::dispatch::makeSerialQueue("test.permissions");

  Permissions() {
    ::setenv("HOME", dir.path().c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (dir / "config").c_str(), 1);
    ::setenv("XDG_DATA_HOME", (dir / "data").c_str(), 1);
    ::setenv("PELLORA_MANAGED_DEFAULTS_DIR", (dir / "managed").c_str(), 1);
    PermissionStatus::Environment env;
    env.listMounts = [table = mounts] { return table->list(); };
    env.consent = [](const platform::finderscript::AEAddressDesc&, bool) { return 0; };
    env.makePathMonitor = [] { return nullptr; };
    env.queue = queue;
    env.periods.timerInterval = std::chrono::hours(1);
    env.arguments = std::vector<std::string>{"service"};
    env.home = dir.path();
    env.exitProcess = [](int) { ADD_FAILURE() << "the tracker ended the process"; };
    PermissionStatus::setEnvironment(std::move(env));
  }

  // The number of checks run so far, once those asked for have run.
  size_t checks() {
    queue->sync([] {});
    return mounts->listings();
  }
};

Permissions& permissions() {
  static auto* shared = new Permissions();
  return *shared;
}

class ShareOwnerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    permissions();
    owner = service::ShellExtentionController::create(home.path());
    ASSERT_TRUE(owner);
    owner->startController();
    baseRoots = roots();
    const auto port = PortFile(home.path()).read();
    ASSERT_TRUE(port);
    client = std::make_unique<LineClient>(port->port);
    ASSERT_TRUE(client->send(port->token));
    ASSERT_TRUE(client->readFrame() && client->readFrame());  // the watch list, the badge image
  }

  void TearDown() override {
    owner.reset();
    // Whatever the test left for the tracker runs before the next owner comes.
    permissions().checks();
  }

  std::string share(const std::string& name, bool marked = true) {
    const std::string path = shares.mkdir(name);
    if (marked) platform::xattr::set(path, "is.zavro.share", "ZAVRO", 5, 0, 0);
    return path;
  }
  static platform::mounts::MountNotifier::UserInfo at(const std::string& path) {
    return {{"NSDevicePath", path}};
  }
  const Paths& roots() { return owner->commFileManager()->mountRootURLs(); }
  Paths rootsAdded() { return Paths(roots().begin() + static_cast<long>(baseRoots.size()), roots().end()); }

  // The filter-path pushes the client got since the last call, each sorted. The service
  // answers and pushes on one connection in order, so a request answered marks their end.
  std::vector<Paths> pushes() {
    std::vector<Paths> out;
    const std::string marker = shares / "marker";
    client->send(json({{"command", "getFileIconId"}, {"value", marker}}).dump() + "\r\n");
    for (;;) {
      const auto frame = client->readFrame(10s);
      if (!frame) {
        ADD_FAILURE() << "no answer from the service";
        return out;
      }
      const auto message = json::parse(*frame, nullptr, false);
      if (message.is_discarded()) continue;
      if (message.value("command", "") == "setFilterPaths") {
        auto paths = message["value"].get<Paths>();
        std::sort(paths.begin(), paths.end());
        out.push_back(paths);
      } else if (message.value("command", "") == "setFileIcons" && message["value"].contains(marker)) {
        return out;
      }
    }
  }

  TempDir home;
  TempDir shares;
  std::shared_ptr<service::ShellExtentionController> owner;
  Paths baseRoots;
  std::unique_ptr<LineClient> client;
};

TEST_F(ShareOwnerTest, MountsAndUnmountsChangeTheRootsTheWatchersAndTheFilterPaths) {
  const std::string gateway = share("gateway");
  const std::string plain = share("plain", false);
  size_t checks = permissions().checks();

  // A gateway share: one root, one watcher (in the push), one permission check.
  owner->didMount(at(gateway));
  EXPECT_EQ(rootsAdded(), Paths{gateway});
  EXPECT_EQ(pushes(), std::vector<Paths>{{gateway}});
  EXPECT_EQ(permissions().checks(), ++checks);

  // Another volume, and a notification without a path: nothing but the check.
  owner->didMount(at(plain));
  owner->didMount({});
  EXPECT_EQ(rootsAdded(), Paths{gateway});
  EXPECT_EQ(pushes(), std::vector<Paths>{});
  EXPECT_EQ(permissions().checks(), checks += 2);

  // Reported twice, the root is listed twice; one unmount takes both entries and the watcher,
  // and the push of an empty watch list holds one empty path.
  owner->didMount(at(gateway));
  EXPECT_EQ(rootsAdded(), (Paths{gateway, gateway}));
  EXPECT_EQ(pushes(), std::vector<Paths>{{gateway}});
  owner->didUnMount(at(gateway));
  EXPECT_EQ(rootsAdded(), Paths{});
  EXPECT_EQ(pushes(), std::vector<Paths>{{""}});
  EXPECT_EQ(permissions().checks(), checks += 2);

  owner->didUnMount(at(gateway));
  owner->didUnMount({});
  EXPECT_EQ(pushes(), std::vector<Paths>{});
  EXPECT_EQ(permissions().checks(), checks += 2);

  // Gone: the core with its server, the request dispatch, the mount subscriptions.
  const auto dispatcher = ExtensionHelper::dispatcher();
  owner.reset();
  EXPECT_TRUE(client->waitClosed());
  EXPECT_NE(ExtensionHelper::dispatcher(), dispatcher);
  EXPECT_FALSE(platform::mounts::MountNotifier::shared().isWatching());
}

TEST_F(ShareOwnerTest, SharesReadableAgainAreWatchedAndKnownOnesResent) {
  const std::string known = share("known");
  const std::string again = share("again");
  const std::string later = share("later");
  const std::string unmarked = share("unmarked", false);
  owner->didMount(at(known));
  ASSERT_EQ(pushes(), std::vector<Paths>{{known}});

  // Only new roots: the add pushes, nothing is re-sent.
  owner->refreshShares({again});
  EXPECT_EQ(rootsAdded(), (Paths{known, again}));
  EXPECT_EQ(pushes(), (std::vector<Paths>{{again, known}}));

  // One known and one new: the add pushes and the watch list goes out once more.
  platform::log::Capture capture;
  owner->refreshShares({known, later});
  EXPECT_TRUE(capture.contains("Readable again: " + known + ", " + later));
  EXPECT_EQ(rootsAdded(), (Paths{known, again, later}));
  const Paths all{again, known, later};
  EXPECT_EQ(pushes(), (std::vector<Paths>{all, all}));

  // Known roots are skipped; one the core refuses for want of the marker is still listed.
  owner->monitorAllowedShares({known, unmarked});
  EXPECT_EQ(rootsAdded(), (Paths{known, again, later, unmarked}));
  EXPECT_EQ(pushes(), std::vector<Paths>{});
}

}  // namespace
