// For the tests of the permission tracker: the parts of the service it talks to, recording what
// they were told, a mount table the test controls, and a harness that runs a tracker on queues
// of the test's own with the shared suite in a temporary configuration folder.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "ServiceEnableHandler.h"
#include "TempDir.h"
#include "defaults/UserDefaults.h"
#include "finder/PermissionStatus.h"
#include "finderscript/Protocol.h"
#include "mounts/Mounts.h"

namespace pellora::testing {

// The share-monitoring owner: every call, in order.
class RecordingShareOwner : public PermissionStatusDelegate {
 public:
  struct Call {
    std::string what;  // "monitorAllowedShares" or "refreshShares"
    std::vector<std::string> paths;
    bool operator==(const Call&) const = default;
  };

  void monitorAllowedShares(const std::vector<std::string>& paths) override {
    add("monitorAllowedShares", paths);
  }
  void refreshShares(const std::vector<std::string>& paths) override { add("refreshShares", paths); }

  std::vector<Call> calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
  }
  std::vector<Call> callsOf(const std::string& what) const {
    std::vector<Call> out;
    for (const auto& call : calls()) {
      if (call.what == what) out.push_back(call);
    }
    return out;
  }

 private:
  void add(const std::string& what, const std::vector<std::string>& paths) {
    std::lock_guard lock(mutex_);
    calls_.push_back({what, paths});
  }

  mutable std::mutex mutex_;
  std::vector<Call> calls_;
};

// The dispatcher's bring-online state.
class FakeServiceActivity : public ServiceActivity {
 public:
  bool isIdle() override { return !queuedRequests && !batchRunning; }

  std::atomic<bool> queuedRequests{false};
  std::atomic<bool> batchRunning{false};
};

// The mount table as the tracker lists it: either a list the test sets, or the kernel's mounts
// below folders of the test's own (so that mounts of other programs never count). Notes when
// each listing was made.
class MountTable {
 public:
  using Clock = PermissionStatus::Clock;

  void set(std::vector<platform::mounts::Mount> mounts) {
    std::lock_guard lock(mutex_);
    mounts_ = std::move(mounts);
    kernel_ = false;
  }
  void followKernel(std::vector<std::string> folders) {
    std::lock_guard lock(mutex_);
    folders_ = std::move(folders);
    kernel_ = true;
  }

  std::optional<std::vector<platform::mounts::Mount>> list() {
    std::vector<platform::mounts::Mount> out;
    std::lock_guard lock(mutex_);
    times_.push_back(Clock::now());
    if (!kernel_) return mounts_;
    const auto mounts = platform::mounts::listMounts();
    if (!mounts) return std::nullopt;
    for (const auto& mount : *mounts) {
      for (const auto& folder : folders_) {
        if (mount.mountPoint == folder || mount.mountPoint.starts_with(folder + "/")) {
          out.push_back(mount);
          break;
        }
      }
    }
    return out;
  }

  size_t listings() const {
    std::lock_guard lock(mutex_);
    return times_.size();
  }
  std::vector<Clock::time_point> times() const {
    std::lock_guard lock(mutex_);
    return times_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<platform::mounts::Mount> mounts_;
  std::vector<std::string> folders_;
  bool kernel_ = false;
  std::vector<Clock::time_point> times_;
};

// An SMB mount at path, as the mount table reports one.
inline platform::mounts::Mount smbMount(const std::string& path) {
  return {.mountPoint = path, .source = "//gateway/share", .type = "smbfs", .fsType = "cifs"};
}

// One tracker at a time, checking only when the test asks (refresh, report), answering the
// consent query with consent, ending the process by counting exits.
class TrackerHarness {
 public:
  TrackerHarness() {
    ::setenv("XDG_CONFIG_HOME", (home / ".config").c_str(), 1);
    ::setenv("PELLORA_MANAGED_DEFAULTS_DIR", (home / "managed").c_str(), 1);
    suite = platform::defaults::UserDefaults::suite(kSharedDefaultsSuite);
  }
  ~TrackerHarness() {
    tracker.reset();
    // Nothing of a tracker runs once its queue has run what was posted.
    queue->sync([] {});
    ::unsetenv("XDG_CONFIG_HOME");
    ::unsetenv("PELLORA_MANAGED_DEFAULTS_DIR");
  }

  PermissionStatus::Environment environment(std::vector<std::string> arguments = {"service"}) {
    PermissionStatus::Environment env;
    env.openSuite = [s = suite, opens = suiteOpens] { return *opens ? s : nullptr; };
    env.listMounts = [table = mounts] { return table->list(); };
    env.consent = [answer = consent, asked = asks](const platform::finderscript::AEAddressDesc&,
                                                   bool ask) {
      asked->push_back(ask);  // on the tracker's queue only
      return answer->load();
    };
    env.makePathMonitor = [] { return nullptr; };
    env.queue = queue;
    env.mainQueue = mainQueue;
    env.periods.timerInterval = std::chrono::hours(1);
    env.arguments = std::move(arguments);
    env.home = home.path();
    env.exitProcess = [count = exits](int status) {
      EXPECT_EQ(status, 0);
      ++*count;
    };
    env.delegate = owner;
    env.activity = activity;
    return env;
  }
  void start(PermissionStatus::Environment env) {
    tracker = PermissionStatus::Tracker::create(std::move(env));
    tracker->start();
    settle();
  }
  void refresh() {
    tracker->refresh();
    settle();
  }
  void report(const std::string& value) {
    tracker->extensionReported(value);
    settle();
  }
  // The tracker's queue, then the main queue, have run what was posted so far.
  void settle() {
    queue->sync([] {});
    mainQueue->sync([] {});
  }
  std::optional<std::string> text(const std::string& key) const { return suite->string(key); }
  std::optional<int64_t> number(const std::string& key) const { return suite->integer(key); }

  TempDir home;
  std::shared_ptr<platform::defaults::UserDefaults> suite;
  std::shared_ptr<std::atomic<bool>> suiteOpens = std::make_shared<std::atomic<bool>>(true);
  std::shared_ptr<MountTable> mounts = std::make_shared<MountTable>();
  std::shared_ptr<std::atomic<int>> consent =
      std::make_shared<std::atomic<int>>(platform::finderscript::noErr);
  std::shared_ptr<std::vector<bool>> asks = std::make_shared<std::vector<bool>>();
  std::shared_ptr<std::atomic<int>> exits = std::make_shared<std::atomic<int>>(0);
  std::shared_ptr<RecordingShareOwner> owner = std::make_shared<RecordingShareOwner>();
  std::shared_ptr<FakeServiceActivity> activity = std::make_shared<FakeServiceActivity>();
  std::shared_ptr<platform::dispatch::Queue> queue =
      platform::dispatch::makeSerialQueue("test.permissions");
  std::shared_ptr<platform::dispatch::Queue> mainQueue = platform::dispatch::makeSerialQueue("test.main");
  std::shared_ptr<PermissionStatus::Tracker> tracker;
};

}  // namespace pellora::testing
