// For the tests of the permission tracker: the parts of the service it talks to, recording what
// they were told, and a mount table the test controls.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "finder/PermissionStatus.h"
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

}  // namespace pellora::testing
