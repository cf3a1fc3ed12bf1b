// Whether the service may read the gateway shares and script Finder, published in the shared
// defaults suite for the status window: "PLNetworkAccess" ("ok", "blocked", "unknown"),
// "PLFinderControl" ("ok", "denied", "notAsked", "unknown"), "PLNetworkShares" (mounted SMB
// shares) and "PLMonitoredShares" (those that are gateway shares). Checked at start, every 30 s,
// 5 s after the last of a burst of network changes, on each refresh (mount, unmount), on each
// changed report of the Finder extension, and during a network outage 5, 10 and 20 s after the
// check that saw it. Shares that become readable go to the share-monitoring owner.
//
// A copy started by the application only to have the permissions asked for ("--from-app") ends
// itself once network access is "ok", Finder control is decided, the login-item copy of the same
// bundle waits in standby and no bring-online work is queued or running.
//
// Threads: every check and all state belong to the tracker's serial queue (checked in debug
// builds); the owner's share calls, the idle check and the hand-over run on the main queue.
// Nothing is returned to callers: results show in the suite and the log only.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "dispatch/Queue.h"
#include "dispatch/SequenceChecker.h"
#include "finderscript/Consent.h"
#include "mounts/Mounts.h"
#include "network/PathMonitor.h"

namespace platform::defaults {
class UserDefaults;
}
namespace platform::dispatch {
class TimerSource;
}

// The share-monitoring owner, as the permission tracker needs it. Both calls come on the main
// queue.
class PermissionStatusDelegate {
 public:
  virtual ~PermissionStatusDelegate() = default;
  // Network access turned "ok": watch these gateway share roots unless already known.
  virtual void monitorAllowedShares(const std::vector<std::string>& paths) = 0;
  // These gateway share roots were unreadable at the check before and are readable now.
  virtual void refreshShares(const std::vector<std::string>& paths) = 0;
};

// The request dispatcher's bring-online state, for the hand-over. Called on the main queue.
class ServiceActivity {
 public:
  virtual ~ServiceActivity() = default;
  // False while a bring-online request is queued (queuedRequests above 0, read under the
  // dispatcher's requestsLock) or a batch runs (a fileProcessController exists).
  virtual bool isIdle() = 0;
};

class PermissionStatus {
 public:
  PermissionStatus() = delete;

  using Clock = platform::dispatch::Clock;

  struct Periods {
    Clock::duration timerInterval = std::chrono::seconds(30);
    // Before the first, second and third quick retry of a share in outage.
    std::vector<Clock::duration> retryDelays = {std::chrono::seconds(5), std::chrono::seconds(10),
                                                std::chrono::seconds(20)};
    // A network change is acted on once no newer one came for this long.
    Clock::duration networkDebounce = std::chrono::seconds(5);
  };

  // The consent query for Finder control: 0, -1744 (would need to ask), -1743 (denied), or
  // another code. With ask it may block until the user answers.
  using ConsentQuery =
      std::function<int(const platform::finderscript::AEAddressDesc& target, bool ask)>;

  // What the tracker works with. An empty field stands for the running service's own.
  struct Environment {
    // The shared suite, opened for each check; null skips the check.
    std::function<std::shared_ptr<platform::defaults::UserDefaults>()> openSuite{};
    // The mount table; nothing when it cannot be read.
    std::function<std::optional<std::vector<platform::mounts::Mount>>()> listMounts{};
    ConsentQuery consent{};
    // Null result: no network monitoring.
    std::function<std::unique_ptr<platform::network::PathMonitor>()> makePathMonitor{};
    // Serial. Default: "com.zavro.Pellora.permissions".
    std::shared_ptr<platform::dispatch::Queue> queue{};
    std::shared_ptr<platform::dispatch::Queue> mainQueue{};
    Periods periods{};
    std::optional<std::vector<std::string>> arguments{};
    // Where the standby marker lies (below the hidden folder).
    std::optional<std::string> home{};
    // This program's bundle, which the standby copy must be a copy of.
    std::optional<std::string> mainBundlePath{};
    // Default: flush and end the process at once.
    std::function<void(int status)> exitProcess{};
    std::weak_ptr<PermissionStatusDelegate> delegate{};
    // Without it the service never counts as idle, so it never hands over.
    std::shared_ptr<ServiceActivity> activity{};
  };

  class Tracker;

  // The process's tracker is made on first use with the environment set here; a later call
  // changes nothing for a tracker that exists.
  static void setEnvironment(Environment environment);
  static std::shared_ptr<Tracker> shared();

  // Called once by the share-monitoring owner at start-up.
  static void start();
  // A check soon; after each mount and unmount.
  static void refresh();
  // The "value" of the extension's "networkAccess" request; returns at once.
  static void extensionReported(const std::string& networkAccess);
  static std::shared_ptr<platform::dispatch::Queue> queue();
  // Taken in order with the checks: set before start() to reach the first one.
  static void setDelegate(std::weak_ptr<PermissionStatusDelegate> delegate);
  static void setServiceActivity(std::shared_ptr<ServiceActivity> activity);

  // The errors that mean a network outage: timed out, not connected, host down, host
  // unreachable, network down, network unreachable, connection reset, connection refused.
  static const std::set<int>& outageErrors();
};

class PermissionStatus::Tracker : public std::enable_shared_from_this<Tracker> {
 public:
  static std::shared_ptr<Tracker> create(Environment environment);
  // Stops the timer and the network monitoring; delayed checks then do nothing.
  ~Tracker();
  Tracker(const Tracker&) = delete;
  Tracker& operator=(const Tracker&) = delete;

  // The first check (asking the user for Finder control when started with "--from-app"), the
  // periodic timer and the network monitoring. Only the first call counts.
  void start();
  void refresh();
  void extensionReported(const std::string& networkAccess);
  void setDelegate(std::weak_ptr<PermissionStatusDelegate> delegate);
  void setServiceActivity(std::shared_ptr<ServiceActivity> activity);

  const std::shared_ptr<platform::dispatch::Queue>& queue() const { return queue_; }
  // The network's signature as last seen ("satisfied eth0,wlan0"); waits for the queue, so not
  // from work of the queue.
  std::optional<std::string> networkSignature();

 private:
  struct ShareCheck {
    std::string access;
    std::vector<std::string> gatewayPaths;
    int64_t smbCount = 0;
    std::vector<std::string> recoveredPaths;
    std::set<std::string> outagePaths;
  };

  explicit Tracker(Environment environment);

  void update(bool askFinder);
  std::string saveNetworkShares(platform::defaults::UserDefaults& defaults);
  ShareCheck checkNetworkShares();
  std::vector<std::string> smbMountPoints() const;
  std::string finderControl(bool ask) const;
  void scheduleRetries(const std::set<std::string>& outagePaths);
  void pathUpdated(const platform::network::Path& path);
  void networkChanged();
  void handOverIfDone(const std::string& finder, const std::string& access);
  void logOnce(const std::string& message, const std::string& key);

  const Environment env_;
  const std::shared_ptr<platform::dispatch::Queue> queue_;
  const bool fromApp_;
  std::atomic<bool> started_{false};

  // The queue's.
  std::unique_ptr<platform::dispatch::TimerSource> timer_;
  std::unique_ptr<platform::network::PathMonitor> pathMonitor_;
  std::set<std::string> loggedErrors_;
  std::optional<std::string> lastAccess_;
  std::optional<std::string> extensionAccess_;
  std::set<std::string> unreadableMounts_;
  bool retryScheduled_ = false;
  std::map<std::string, size_t> retryCounts_;
  std::optional<std::string> lastNetwork_;
  uint64_t networkChanges_ = 0;
  std::weak_ptr<PermissionStatusDelegate> delegate_;
  std::shared_ptr<ServiceActivity> activity_;
  platform::dispatch::SequenceChecker queueSequence_;
};
