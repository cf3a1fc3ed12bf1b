#include "finder/PermissionStatus.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "CLog.h"
#include "ServiceEnableHandler.h"
#include "ServiceLockFile.h"
#include "defaults/UserDefaults.h"
#include "dispatch/TimerSource.h"
#include "finderscript/Protocol.h"
#include "network/PathMonitor.h"
#include "process/Process.h"
#include "workspace/Workspace.h"
#include "xattr/Xattr.h"

namespace dispatch = platform::dispatch;
namespace script = platform::finderscript;
using platform::defaults::UserDefaults;

namespace {

constexpr char kOk[] = "ok";
constexpr char kBlocked[] = "blocked";
constexpr char kUnknown[] = "unknown";
constexpr char kDenied[] = "denied";
constexpr char kNotAsked[] = "notAsked";

PermissionStatus::Environment withDefaults(PermissionStatus::Environment env) {
  if (!env.openSuite) env.openSuite = [] { return UserDefaults::suite(kSharedDefaultsSuite); };
  if (!env.listMounts) env.listMounts = [] { return platform::mounts::listMounts(); };
  if (!env.consent) {
    env.consent = [](const script::AEAddressDesc& target, bool ask) {
      return script::determinePermissionToAutomateTarget(target, script::typeWildCard,
                                                         script::typeWildCard, ask);
    };
  }
  if (!env.makePathMonitor) env.makePathMonitor = [] { return platform::network::PathMonitor::create(); };
  if (!env.queue) env.queue = dispatch::makeSerialQueue("com.zavro.Pellora.permissions");
  if (!env.mainQueue) env.mainQueue = dispatch::mainQueue();
  if (!env.arguments) env.arguments = platform::process::arguments();
  if (!env.home) env.home = ServiceEnableHandler::homeDirectory();
  if (!env.mainBundlePath) {
    if (const auto bundle = platform::workspace::mainBundleInfo()) env.mainBundlePath = bundle->path;
  }
  if (!env.exitProcess) {
    env.exitProcess = [](int status) {
      // Static destructors must not run while other threads still work.
      std::fflush(nullptr);
      ::_exit(status);
    };
  }
  return env;
}

bool hasFromAppArgument(const std::vector<std::string>& arguments) {
  return std::find(arguments.begin(), arguments.end(), kFromAppArgument) != arguments.end();
}

bool isGatewayShare(const std::string& path) {
  // The marker is five bytes; a longer value up to the buffer's size still counts by its start.
  char value[8] = {};
  const ssize_t got = platform::xattr::get(path, "is.zavro.share", value, sizeof value, 0, 0);
  return got >= 1 && std::memcmp(value, "ZAVRO", 5) == 0;
}

// 0 when the folder lists, else the error of opening it or of reading its first entry.
int readError(const std::string& path) {
  DIR* dir = ::opendir(path.c_str());
  if (!dir) return errno;
  errno = 0;
  const int error = ::readdir(dir) ? 0 : errno;
  ::closedir(dir);
  return error;
}

std::string joined(const std::vector<std::string>& items, const std::string& separator) {
  std::string out;
  for (const auto& item : items) {
    if (!out.empty()) out += separator;
    out += item;
  }
  return out;
}

std::mutex& sharedMutex() {
  static std::mutex mutex;
  return mutex;
}
PermissionStatus::Environment& storedEnvironment() {
  static auto* environment = new PermissionStatus::Environment();
  return *environment;
}
// Never destroyed: a check may still run on its queue while the process ends.
std::shared_ptr<PermissionStatus::Tracker>& sharedTracker() {
  static auto* tracker = new std::shared_ptr<PermissionStatus::Tracker>();
  return *tracker;
}

}  // namespace

// The process's tracker.

void PermissionStatus::setEnvironment(Environment environment) {
  std::lock_guard lock(sharedMutex());
  storedEnvironment() = std::move(environment);
}

std::shared_ptr<PermissionStatus::Tracker> PermissionStatus::shared() {
  std::lock_guard lock(sharedMutex());
  auto& tracker = sharedTracker();
  if (!tracker) tracker = Tracker::create(storedEnvironment());
  return tracker;
}

void PermissionStatus::start() { shared()->start(); }
void PermissionStatus::refresh() { shared()->refresh(); }
void PermissionStatus::extensionReported(const std::string& networkAccess) {
  shared()->extensionReported(networkAccess);
}
std::shared_ptr<dispatch::Queue> PermissionStatus::queue() { return shared()->queue(); }
void PermissionStatus::setDelegate(std::weak_ptr<PermissionStatusDelegate> delegate) {
  shared()->setDelegate(std::move(delegate));
}
void PermissionStatus::setServiceActivity(std::shared_ptr<ServiceActivity> activity) {
  shared()->setServiceActivity(std::move(activity));
}

const std::set<int>& PermissionStatus::outageErrors() {
  static const std::set<int> errors = {ETIMEDOUT,    ENOTCONN, EHOSTDOWN,  EHOSTUNREACH,
                                       ENETDOWN,     ENETUNREACH, ECONNRESET, ECONNREFUSED};
  return errors;
}

// The tracker.

std::shared_ptr<PermissionStatus::Tracker> PermissionStatus::Tracker::create(Environment environment) {
  return std::shared_ptr<Tracker>(new Tracker(withDefaults(std::move(environment))));
}

PermissionStatus::Tracker::Tracker(Environment environment)
    : env_(std::move(environment)),
      queue_(env_.queue),
      fromApp_(hasFromAppArgument(*env_.arguments)),
      delegate_(env_.delegate),
      activity_(env_.activity) {}

PermissionStatus::Tracker::~Tracker() {
  if (timer_) timer_->cancel();
  if (pathMonitor_) pathMonitor_->cancel();
}

void PermissionStatus::Tracker::start() {
  if (started_.exchange(true)) return;
  queue_->async(dispatch::weakly(shared_from_this(), [](Tracker& self) {
    PELLORA_DCHECK_SEQUENCE(self.queueSequence_);
    const auto interval = self.env_.periods.timerInterval;
    self.timer_ = std::make_unique<dispatch::TimerSource>(
        self.queue_, interval, interval,
        dispatch::weakly(self.shared_from_this(), [](Tracker& t) { t.update(false); }));
    self.timer_->resume();

    self.pathMonitor_ = self.env_.makePathMonitor();
    if (self.pathMonitor_) {
      std::weak_ptr<Tracker> weak = self.weak_from_this();
      self.pathMonitor_->setUpdateHandler([weak](const platform::network::Path& path) {
        if (const auto t = weak.lock()) t->pathUpdated(path);
      });
      self.pathMonitor_->start(self.queue_);
    }
    // A copy the application started asks the user for Finder control at once.
    self.update(self.fromApp_);
  }));
}

void PermissionStatus::Tracker::refresh() {
  queue_->async(dispatch::weakly(shared_from_this(), [](Tracker& self) { self.update(false); }));
}

void PermissionStatus::Tracker::extensionReported(const std::string& networkAccess) {
  queue_->async(dispatch::weakly(shared_from_this(), [networkAccess](Tracker& self) {
    PELLORA_DCHECK_SEQUENCE(self.queueSequence_);
    if (self.extensionAccess_ == networkAccess) return;
    self.extensionAccess_ = networkAccess;
    CLOG(StringTag::Service, "Finder extension reports network volume access: " + networkAccess);
    self.update(false);
  }));
}

void PermissionStatus::Tracker::setDelegate(std::weak_ptr<PermissionStatusDelegate> delegate) {
  queue_->async(dispatch::weakly(shared_from_this(), [delegate](Tracker& self) {
    PELLORA_DCHECK_SEQUENCE(self.queueSequence_);
    self.delegate_ = delegate;
  }));
}

void PermissionStatus::Tracker::setServiceActivity(std::shared_ptr<ServiceActivity> activity) {
  queue_->async(dispatch::weakly(shared_from_this(), [activity](Tracker& self) {
    PELLORA_DCHECK_SEQUENCE(self.queueSequence_);
    self.activity_ = activity;
  }));
}

std::optional<std::string> PermissionStatus::Tracker::networkSignature() {
  std::optional<std::string> signature;
  queue_->sync([&] {
    PELLORA_DCHECK_SEQUENCE(queueSequence_);
    signature = lastNetwork_;
  });
  return signature;
}

void PermissionStatus::Tracker::update(bool askFinder) {
  PELLORA_DCHECK_SEQUENCE(queueSequence_);
  const auto defaults = env_.openSuite();
  if (!defaults) return;
  std::string access = saveNetworkShares(*defaults);
  std::string finder = finderControl(askFinder);
  // A denial recorded earlier outlives silent checks, which cannot tell it from "not asked".
  if (finder == kNotAsked && !askFinder && defaults->string(kFinderControlKey) == kDenied) {
    finder = kDenied;
  }
  defaults->set(kFinderControlKey, finder);
  // The question may have waited long for the user; the shares may have changed meanwhile.
  if (askFinder) access = saveNetworkShares(*defaults);
  handOverIfDone(finder, access);
}

std::string PermissionStatus::Tracker::saveNetworkShares(UserDefaults& defaults) {
  PELLORA_DCHECK_SEQUENCE(queueSequence_);
  ShareCheck check = checkNetworkShares();

  if (lastAccess_ != kOk && check.access == kOk) {
    env_.mainQueue->async([delegate = delegate_, paths = check.gatewayPaths] {
      if (const auto d = delegate.lock()) d->monitorAllowedShares(paths);
    });
  }
  if (!check.recoveredPaths.empty()) {
    env_.mainQueue->async([delegate = delegate_, paths = check.recoveredPaths] {
      if (const auto d = delegate.lock()) d->refreshShares(paths);
    });
  }
  scheduleRetries(check.outagePaths);
  lastAccess_ = check.access;

  const std::string effective = extensionAccess_ == kBlocked ? kBlocked : check.access;
  defaults.set(kNetworkAccessKey, effective);
  defaults.set(kMonitoredSharesKey, static_cast<int64_t>(check.gatewayPaths.size()));
  defaults.set(kNetworkSharesKey, check.smbCount);
  return effective;
}

void PermissionStatus::Tracker::scheduleRetries(const std::set<std::string>& outagePaths) {
  PELLORA_DCHECK_SEQUENCE(queueSequence_);
  std::erase_if(retryCounts_, [&](const auto& entry) { return !outagePaths.count(entry.first); });
  const auto& delays = env_.periods.retryDelays;
  std::vector<std::string> pending;
  for (const auto& path : outagePaths) {
    if (retryCounts_[path] < delays.size()) pending.push_back(path);
  }
  if (retryScheduled_ || pending.empty()) return;
  size_t fewest = delays.size();
  for (const auto& path : pending) fewest = std::min(fewest, retryCounts_[path]);
  retryScheduled_ = true;
  for (const auto& path : pending) ++retryCounts_[path];
  queue_->asyncAfter(delays[fewest], dispatch::weakly(shared_from_this(), [](Tracker& self) {
                       PELLORA_DCHECK_SEQUENCE(self.queueSequence_);
                       self.retryScheduled_ = false;
                       self.update(false);
                     }));
}

PermissionStatus::Tracker::ShareCheck PermissionStatus::Tracker::checkNetworkShares() {
  PELLORA_DCHECK_SEQUENCE(queueSequence_);
  ShareCheck check;
  const auto mounts = smbMountPoints();
  if (mounts.empty()) {
    unreadableMounts_.clear();
    check.access = kUnknown;
    return check;
  }
  std::set<std::string> unreadable;
  bool anyReadable = false;
  bool anyRefused = false;
  for (const auto& path : mounts) {
    const bool gateway = isGatewayShare(path);
    if (gateway) check.gatewayPaths.push_back(path);
    const int error = readError(path);
    if (error == EPERM) {
      unreadable.insert(path);
      anyRefused = true;
      logOnce("No access to network volume " + path + " (errno " + std::to_string(EPERM) + ")",
              path + ":" + std::to_string(EPERM));
      continue;
    }
    if (error == 0) {
      // A later failure of this path is news again.
      const std::string prefix = path + ":";
      std::erase_if(loggedErrors_, [&](const std::string& key) { return key.starts_with(prefix); });
      if (gateway && unreadableMounts_.count(path)) check.recoveredPaths.push_back(path);
      anyReadable = true;
      continue;
    }
    unreadable.insert(path);
    if (PermissionStatus::outageErrors().count(error)) check.outagePaths.insert(path);
    logOnce("Cannot read " + path + " (errno " + std::to_string(error) + ")",
            path + ":" + std::to_string(error));
  }
  unreadableMounts_ = std::move(unreadable);
  check.access = anyReadable ? kOk : anyRefused ? kBlocked : kUnknown;
  check.smbCount = static_cast<int64_t>(mounts.size());
  return check;
}

std::vector<std::string> PermissionStatus::Tracker::smbMountPoints() const {
  std::vector<std::string> paths;
  const auto mounts = env_.listMounts();
  if (!mounts) return paths;
  for (const auto& mount : *mounts) {
    if (mount.type == "smbfs") paths.push_back(mount.mountPoint);
  }
  return paths;
}

std::string PermissionStatus::Tracker::finderControl(bool ask) const {
  const auto target = script::targetForBundleIdentifier(script::kFinderBundleIdentifier);
  if (!target) return kUnknown;
  switch (env_.consent(*target, ask)) {
    case script::noErr:
      return kOk;
    case script::errAEEventWouldRequireUserConsent:
      return kNotAsked;
    case script::errAEEventNotPermitted:
      return kDenied;
    default:
      return kUnknown;
  }
}

void PermissionStatus::Tracker::pathUpdated(const platform::network::Path& path) {
  PELLORA_DCHECK_SEQUENCE(queueSequence_);
  const std::string signature =
      std::string(path.statusText()) + " " + joined(path.availableInterfaces, ",");
  if (signature == lastNetwork_) return;
  // The first signature after start is where the network is, not a change.
  const bool changed = lastNetwork_.has_value();
  lastNetwork_ = signature;
  if (changed) networkChanged();
}

void PermissionStatus::Tracker::networkChanged() {
  PELLORA_DCHECK_SEQUENCE(queueSequence_);
  const uint64_t change = ++networkChanges_;
  queue_->asyncAfter(env_.periods.networkDebounce,
                     dispatch::weakly(shared_from_this(), [change](Tracker& self) {
                       PELLORA_DCHECK_SEQUENCE(self.queueSequence_);
                       if (self.networkChanges_ != change) return;
                       CLOG(StringTag::Service, "Network changed (" + self.lastNetwork_.value_or("") +
                                                    ") - checking the network shares");
                       self.retryCounts_.clear();
                       // Every gateway share readable at the next check counts as recovered.
                       for (const auto& path : self.smbMountPoints()) {
                         self.unreadableMounts_.insert(path);
                       }
                       self.update(false);
                     }));
}

void PermissionStatus::Tracker::handOverIfDone(const std::string& finder, const std::string& access) {
  PELLORA_DCHECK_SEQUENCE(queueSequence_);
  if (!fromApp_ || access != kOk || (finder != kOk && finder != kDenied)) return;
  const auto pid = ServiceLockFile::readStandbyMarker(*env_.home);
  if (!pid || *pid == ::getpid()) return;
  const auto standby = platform::workspace::RunningApplication::withProcessIdentifier(*pid);
  if (!standby || !standby->bundleIdentifier()) return;
  if (*standby->bundleIdentifier() != kServiceBundleIdentifier) return;
  if (!standby->bundleURL() || !env_.mainBundlePath) return;
  if (platform::workspace::resolvingSymlinks(*standby->bundleURL()) !=
      platform::workspace::resolvingSymlinks(*env_.mainBundlePath)) {
    return;
  }
  env_.mainQueue->async([activity = activity_, standby = *standby, exit = env_.exitProcess] {
    if (!activity || !activity->isIdle()) return;
    // Ending with no copy left to take over would leave the user without the service.
    if (standby.isTerminated()) return;
    CLOG(StringTag::Service, "Nothing left to ask - handing over to the login item service pid " +
                                 std::to_string(standby.processIdentifier()));
    exit(0);
  });
}

void PermissionStatus::Tracker::logOnce(const std::string& message, const std::string& key) {
  PELLORA_DCHECK_SEQUENCE(queueSequence_);
  if (loggedErrors_.insert(key).second) CLOG(StringTag::Service, message);
}
