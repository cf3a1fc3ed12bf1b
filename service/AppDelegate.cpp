#include "AppDelegate.h"

#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <vector>

#include "CLog.h"
#include "ServiceEnableHandler.h"
#include "ServiceLockFile.h"
#include "dispatch/Queue.h"
#include "process/Process.h"
#include "workspace/Workspace.h"

namespace {

namespace fs = std::filesystem;
using platform::defaults::UserDefaults;
using platform::defaults::Value;
using platform::workspace::RunningApplication;
using Clock = std::chrono::steady_clock;

constexpr auto kLockWait = std::chrono::seconds(3);
constexpr useconds_t kLockPoll = 100000;
constexpr char kLaunchdVariable[] = "XPC_SERVICE_NAME";

bool hasArgument(const std::string& argument) {
  const auto args = platform::process::arguments();
  return std::find(args.begin(), args.end(), argument) != args.end();
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// The end of the run of digits that starts at i.
size_t digitsEnd(std::string_view s, size_t i) {
  while (i < s.size() && isDigit(s[i])) ++i;
  return i;
}

// The run [start, end) without its leading zeros (a lone zero stays).
std::string_view significant(std::string_view s, size_t start, size_t end) {
  while (start + 1 < end && s[start] == '0') ++start;
  return s.substr(start, end - start);
}

}  // namespace

std::shared_ptr<AppDelegate> AppDelegate::create(ServiceFactory makeService) {
  std::shared_ptr<AppDelegate> delegate(new AppDelegate(std::move(makeService)));
  delegate->launch();
  return delegate;
}

AppDelegate::AppDelegate(ServiceFactory makeService) : makeService_(std::move(makeService)) {}

AppDelegate::~AppDelegate() {
  if (groupDefaults_ && enabledObserver_) groupDefaults_->removeObserver(*enabledObserver_);
}

void AppDelegate::launch() {
  PELLORA_DCHECK_SEQUENCE(mainThread_);
  shellManager_.reset();
  groupDefaults_ = UserDefaults::suite(kSharedDefaultsSuite);

  const std::string bundlePath = mainBundlePath();
  if (!isInsideAppLoginItems(bundlePath)) {
    CLOG(StringTag::Service,
         "Service is not inside Zavro Pellora.app/Contents/Library/LoginItems (" + bundlePath + ") - exiting");
    endProcess(0);
  }

  // The permission status replaces "asking" with its result; a copy that does not get to run
  // gives the key back as it found it.
  const auto suite = UserDefaults::suite(kSharedDefaultsSuite);
  const std::optional<std::string> finderControl = suite ? suite->string(kFinderControlKey) : std::nullopt;
  const bool fromApp = hasArgument(kFromAppArgument);
  if (fromApp && suite) {
    suite->set(kFinderControlKey, Value("asking"));
    suite->synchronize();
  }

  const bool locked = acquireSingleInstanceLock();
  if (!locked && !isStartedByLaunchd()) {
    if (fromApp && suite) {
      if (finderControl) {
        suite->set(kFinderControlKey, Value(*finderControl));
      } else {
        suite->removeObject(kFinderControlKey);
      }
      suite->synchronize();
    }
    const char* job = std::getenv(kLaunchdVariable);
    CLOG(StringTag::Service, std::string("Another service instance holds the lock - exiting (XPC_SERVICE_NAME ") +
                                 (job ? job : "none") + ")");
    endProcess(0);
  }

  if (locked) {
    startService();
    return;
  }
  CLOG(StringTag::Service, "Started by launchd while another service copy runs - waiting to take over");
  platform::dispatch::globalQueue(platform::dispatch::QoS::Utility)->async([weak = weak_from_this()] {
    if (!waitForSingleInstanceLock()) {
      CLOG(StringTag::Service, "Cannot wait for service.lock - exiting");
      endProcess(0);
    }
    platform::dispatch::mainQueue()->async([weak] {
      if (const auto self = weak.lock()) self->startService();
    });
  });
}

void AppDelegate::startService() {
  PELLORA_DCHECK_SEQUENCE(mainThread_);
  if (!ServiceEnableHandler::isEnabledInDefaults()) {
    CLOG(StringTag::Service, "PLEnabled is off - Finder extension off, service exiting");
    ServiceEnableHandler::setFinderExtension(false);
    if (!ServiceEnableHandler::isEnabledInDefaults()) endProcess(0);
    CLOG(StringTag::Service, "PLEnabled turned on while exiting - service starts");
    ServiceEnableHandler::setFinderExtension(true);
  } else if (ServiceEnableHandler::offByMarkerExists()) {
    CLOG(StringTag::Service, "Finder extension was turned off by Pellora - turning it on");
    ServiceEnableHandler::setFinderExtension(true);
  }

  stopCopiesAtOtherPaths();
  if (makeService_) shellManager_ = makeService_();
  if (shellManager_) shellManager_->startController();

  if (!groupDefaults_) return;
  enabledObserver_ = groupDefaults_->addObserver(
      kEnabledDefaultsKey,
      [weak = weak_from_this()](const std::string& key, const std::optional<Value>&, const std::optional<Value>&) {
        if (const auto self = weak.lock()) self->observeValue(key);
      });
  groupDefaults_->synchronize();
  // The observer hears changes from its start on: a switch-off since the check above would
  // otherwise leave the service running while the add-on is off.
  if (!ServiceEnableHandler::isEnabledInDefaults()) observeValue(kEnabledDefaultsKey);
}

void AppDelegate::observeValue(const std::string& keyPath) {
  if (keyPath != kEnabledDefaultsKey) return;
  ServiceEnableHandler::handleEnabled(false, nullptr);
}

void AppDelegate::applicationWillTerminate() {
  PELLORA_DCHECK_SEQUENCE(mainThread_);
  if (shellManager_ && groupDefaults_ && enabledObserver_) {
    groupDefaults_->removeObserver(*enabledObserver_);
    enabledObserver_.reset();
  }
  shellManager_.reset();
}

bool AppDelegate::isInsideAppLoginItems(const std::string& url) {
  std::string resolved = platform::workspace::resolvingSymlinks(url);
  while (resolved.size() > 1 && resolved.back() == '/') resolved.pop_back();
  const fs::path loginItems = fs::path(resolved).parent_path();
  if (loginItems.filename() != "LoginItems") return false;
  const fs::path library = loginItems.parent_path();
  if (library.filename() != "Library") return false;
  const fs::path contents = library.parent_path();
  if (contents.filename() != "Contents") return false;
  const fs::path app = contents.parent_path();
  if (app.extension() != ".app") return false;
  const auto info = platform::workspace::bundleInfo(app.string());
  return info && info->identifier == kMainAppBundleIdentifier;
}

int AppDelegate::compareVersions(std::string_view a, std::string_view b) {
  size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    if (isDigit(a[i]) && isDigit(b[j])) {
      const size_t ie = digitsEnd(a, i), je = digitsEnd(b, j);
      const auto x = significant(a, i, ie), y = significant(b, j, je);
      if (x.size() != y.size()) return x.size() < y.size() ? -1 : 1;
      if (const int c = x.compare(y); c != 0) return c < 0 ? -1 : 1;
      i = ie;
      j = je;
      continue;
    }
    const auto ca = static_cast<unsigned char>(a[i]), cb = static_cast<unsigned char>(b[j]);
    if (ca != cb) return ca < cb ? -1 : 1;
    ++i;
    ++j;
  }
  if (i < a.size()) return 1;
  if (j < b.size()) return -1;
  return 0;
}

bool AppDelegate::acquireSingleInstanceLock() {
  const std::string homePath = home();
  ServiceLockFile::createHiddenFolder(homePath);
  const int fd = ServiceLockFile::openForHolder(homePath);
  if (fd < 0) {
    CLOG(StringTag::Service, "Cannot open service.lock (errno " + std::to_string(errno) + ") - running without the lock");
    return true;
  }
  const std::string mine = ownVersion();
  const auto deadline = Clock::now() + kLockWait;
  if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
    takeSingleInstanceLock(fd);
    return true;
  }
  int32_t lastLogged = 0;
  bool stopSent = false;
  for (;;) {
    // Once the older holder has been told to go, only the lock itself is watched.
    if (!stopSent) {
      if (const auto holder = ServiceLockFile::readLockHolder(fd)) {
        if (holder->pid != lastLogged) {
          CLOG(StringTag::Service, "Service lock held by pid " + std::to_string(holder->pid) + " version " +
                                       holder->version + " (mine " + mine + ")");
          lastLogged = holder->pid;
        }
        if (compareVersions(holder->version, mine) < 0) {
          // The pid may now belong to another program: only a service copy is stopped.
          const auto app = RunningApplication::withProcessIdentifier(holder->pid);
          if (app && app->bundleIdentifier() == kServiceBundleIdentifier) {
            CLOG(StringTag::Service, "Stopping older service pid " + std::to_string(holder->pid));
            app->forceTerminate();
            stopSent = true;
          }
        }
      }
    }
    if (Clock::now() >= deadline) {
      ::close(fd);
      return false;
    }
    ::usleep(kLockPoll);
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) break;
  }
  takeSingleInstanceLock(fd);
  return true;
}

void AppDelegate::takeSingleInstanceLock(int fd) {
  const std::string version = ownVersion();
  ServiceLockFile::writeHolderLine(fd, ::getpid(), version);
  singleInstanceLockFD = fd;
  CLOG(StringTag::Service, "Service lock taken by pid " + std::to_string(::getpid()) + " version " + version);
}

bool AppDelegate::waitForSingleInstanceLock() {
  const std::string homePath = home();
  const int fd = ServiceLockFile::openForHolder(homePath);
  if (fd < 0) return false;
  ServiceLockFile::writeStandbyMarker(homePath, ::getpid());
  int result = 0;
  while ((result = ::flock(fd, LOCK_EX)) != 0 && errno == EINTR) {
  }
  ServiceLockFile::removeStandbyMarker(homePath);
  if (result != 0) {
    ::close(fd);
    return false;
  }
  takeSingleInstanceLock(fd);
  return true;
}

bool AppDelegate::isStartedByLaunchd() {
  const char* job = std::getenv(kLaunchdVariable);
  return job && std::string_view(job) == kServiceBundleIdentifier;
}

void AppDelegate::stopCopiesAtOtherPaths() {
  const pid_t self = ::getpid();
  const std::string own = platform::workspace::resolvingSymlinks(mainBundlePath());
  for (const auto& app : RunningApplication::runningApplications(kServiceBundleIdentifier)) {
    if (app.processIdentifier() == self) continue;
    std::optional<std::string> path;
    if (app.bundleURL()) path = platform::workspace::resolvingSymlinks(*app.bundleURL());
    if (path && *path == own) continue;
    CLOG(StringTag::Service, "Stopping service copy pid " + std::to_string(app.processIdentifier()) + " at " +
                                 path.value_or("unknown path"));
    app.forceTerminate();
  }
}

std::string AppDelegate::ownVersion() {
  const auto info = platform::workspace::mainBundleInfo();
  if (!info || !info->version || info->version->empty()) return "0";
  return *info->version;
}

std::string AppDelegate::mainBundlePath() {
  if (const auto info = platform::workspace::mainBundleInfo()) return info->path;
  // A program outside any bundle is its own folder, as the platform's main bundle is then.
  std::error_code ec;
  return fs::read_symlink("/proc/self/exe", ec).parent_path().string();
}

std::string AppDelegate::home() { return ServiceEnableHandler::homeDirectory(); }

void AppDelegate::endProcess(int status) {
  std::fflush(nullptr);
  ::_exit(status);
}
