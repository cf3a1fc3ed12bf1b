// The service's application delegate: everything the service does before its main loop serves
// events. It checks that the bundle lies in the main application's login-items folder, takes
// the single-instance lock (displacing an older version that holds it), waits in standby when
// the login-item service started it while another copy runs, stops copies at other paths,
// creates and starts the service, and follows the enable key so that switching the add-on off
// ends the process.
//
// Main thread only, except the standby wait, which blocks a utility queue and continues on the
// main queue. A decision to stop (wrong place, lock busy, add-on off) logs one line and ends
// the process at once with status 0.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "ServiceOwner.h"
#include "defaults/UserDefaults.h"
#include "dispatch/SequenceChecker.h"

class AppDelegate : public std::enable_shared_from_this<AppDelegate> {
 public:
  using ServiceFactory = std::function<std::shared_ptr<ServiceOwner>()>;

  // Runs the start-up sequence; returns only when the process goes on (running, or waiting in
  // standby). makeService builds the service once the lock is held.
  static std::shared_ptr<AppDelegate> create(ServiceFactory makeService);
  ~AppDelegate();
  AppDelegate(const AppDelegate&) = delete;
  AppDelegate& operator=(const AppDelegate&) = delete;

  // The enable check, the stop of stray copies, the service's start, the enable-key observer.
  void startService();
  // The observed key changed (any thread).
  void observeValue(const std::string& keyPath);
  // Before the process ends through its main loop: drops the observer and the service.
  void applicationWillTerminate();

  // The bundle at url lies at <X>.app/Contents/Library/LoginItems/ (symbolic links resolved)
  // and <X>.app is the main application's bundle.
  static bool isInsideAppLoginItems(const std::string& url);
  // Negative, zero or positive as a is older, the same or newer than b: runs of digits compare
  // as numbers (1.2.10 is newer than 1.2.9), everything else character by character.
  static int compareVersions(std::string_view a, std::string_view b);

  // The held lock file's descriptor, kept open for the process's life; -1 without it.
  static inline std::atomic<int32_t> singleInstanceLockFD{-1};

 private:
  explicit AppDelegate(ServiceFactory makeService);
  void launch();

  static bool acquireSingleInstanceLock();
  static void takeSingleInstanceLock(int fd);
  static bool waitForSingleInstanceLock();
  static bool isStartedByLaunchd();
  static void stopCopiesAtOtherPaths();
  static std::string ownVersion();
  static std::string mainBundlePath();
  static std::string home();
  // Flushes output and ends the process without running static destructors: threads of the
  // service may still work.
  [[noreturn]] static void endProcess(int status);

  ServiceFactory makeService_;
  std::shared_ptr<ServiceOwner> shellManager_;
  std::shared_ptr<platform::defaults::UserDefaults> groupDefaults_;
  std::optional<platform::defaults::UserDefaults::ObserverId> enabledObserver_;
  platform::dispatch::SequenceChecker mainThread_;
};
