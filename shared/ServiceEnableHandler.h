// Turns the whole add-on on and off and keeps the service and the Finder extension in line
// with the enable key of the shared defaults suite: starts the service (directly and as a login
// item), stops and restarts it, switches the Finder extension through the plug-in tool, and
// probes the service's lock file. Compiled into the main application and the service; which
// side it runs on is decided by the running bundle's identifier.
//
// The service's delegate calls isEnabledInDefaults() and setFinderExtension() at start-up and
// handleEnabled(false, nullptr) from its observer of kEnabledDefaultsKey (see
// platform::defaults::UserDefaults::addObserver), on the thread that delivers the change.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "defaults/Value.h"

// The shared defaults suite and its keys.
inline constexpr char kSharedDefaultsSuite[] = "Q7MZK2RX4B.group.zavro.Pellora";
inline constexpr char kEnabledDefaultsKey[] = "PLEnabled";
inline constexpr char kFinderControlKey[] = "PLFinderControl";
inline constexpr char kNetworkAccessKey[] = "PLNetworkAccess";
inline constexpr char kNetworkSharesKey[] = "PLNetworkShares";
inline constexpr char kMonitoredSharesKey[] = "PLMonitoredShares";

inline constexpr char kServiceBundleIdentifier[] = "com.zavro.Pellora.Service";
inline constexpr char kMainAppBundleIdentifier[] = "com.zavro.Pellora";
inline constexpr char kFinderExtensionIdentifier[] = "com.zavro.Pellora.Service.Finder";
// The service bundle inside the main application's bundle.
inline constexpr char kServiceBundleInApp[] = "Contents/Library/LoginItems/Zavro Pellora Service.app";
inline constexpr char kFromAppArgument[] = "--from-app";
inline constexpr char kCheckVersionArgument[] = "checkVersion";

class ServiceEnableHandler {
 public:
  ServiceEnableHandler() = delete;

  // The waits, in seconds, and the pause between two polls of the lock file.
  struct Timeouts {
    double exitAfterSwitchingOff = 3.0;
    double exitBeforeRestart = 10.0;
    double lockAfterOpening = 5.0;
    std::chrono::milliseconds poll{100};
  };
  // Who this process is and how it ends. An empty field stands for the running program's own:
  // its bundle, its arguments, $HOME, the plug-in tool found by platform::plugins, and an exit
  // that flushes output and ends the process at once (other threads may still run).
  struct Environment {
    std::optional<std::string> mainBundlePath{};
    std::optional<std::vector<std::string>> arguments{};
    std::optional<std::string> home{};
    std::optional<std::string> pluginTool{};
    std::function<void(int status)> exitProcess{};
    Timeouts timeouts{};
  };
  static void setEnvironment(Environment environment);
  static Environment environment();

  // The started service copy took the lock within the wait after opening it (last start from
  // the application). Written on the open completion's queue.
  static inline std::atomic<bool> appCopyHoldsLock{false};
  // The application unregistered the login item and has not registered it again.
  static inline std::atomic<bool> loginItemUnregistered{false};

  // Applies the enable key. The completion runs exactly once, except when this process is the
  // service and the key is off: then the process ends.
  static void handleEnabled(bool forceStart, std::function<void()> completion);
  // Stops every service copy and starts a fresh one; true when the new copy holds the lock.
  // The completion runs on the open completion's queue, or on the main queue when the old
  // copies did not end.
  static void restartServiceFromApp(std::function<void(bool)> completion);
  // Switches the Finder extension and keeps the off-by marker.
  static void setFinderExtension(bool enabled);
  // Runs "/usr/bin/env" with the arguments and waits; the exit status, -1 when it did not exit.
  static int32_t shell(const std::vector<std::string>& arguments);
  // True when the lock file is free within the time-out (or cannot be opened).
  static bool waitForServiceExit(double timeout);
  // True when the process pid holds the lock within the time-out.
  static bool waitForServiceLock(int32_t pid, double timeout);
  static bool isServiceLockHeld();

  static bool isEnabledInDefaults();
  static bool isEnabledForced();
  static std::optional<bool> userDefaultsHandler(std::optional<bool> value);
  static void updateUserDefaults(bool enabled);
  static std::optional<bool> enabledValue(const std::optional<platform::defaults::Value>& value);

  // home + "/.zavroPellora/extension.off-by-pellora": the Finder extension was switched off by
  // this system (and only then does a version check switch it on again).
  static std::string offByMarkerPath();
  static bool offByMarkerExists();
  // The home this handler works in (the environment's, else $HOME).
  static std::string homeDirectory();
  // Whether this process is the service, by its bundle's identifier.
  static bool isServiceProcess();

 private:
  static void restoreLoginItem();
  // The login-item service for the service's login item (register or unregister).
  static void setLoginItemEnabled(bool enabled);
  static std::string serviceBundlePath();
};
