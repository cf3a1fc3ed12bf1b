#include "ServiceEnableHandler.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <mutex>
#include <thread>

#include "CLog.h"
#include "ServiceLockFile.h"
#include "defaults/UserDefaults.h"
#include "dispatch/Queue.h"
#include "loginitems/LoginItems.h"
#include "paths/Paths.h"
#include "plugins/PluginTool.h"
#include "process/Process.h"
#include "workspace/Workspace.h"

namespace {

using platform::defaults::UserDefaults;
using platform::defaults::Value;
using platform::workspace::RunningApplication;
using Clock = std::chrono::steady_clock;

std::mutex& environmentMutex() {
  static std::mutex mutex;
  return mutex;
}

ServiceEnableHandler::Environment& storedEnvironment() {
  static ServiceEnableHandler::Environment environment;
  return environment;
}

std::optional<std::string> mainBundlePath(const ServiceEnableHandler::Environment& env) {
  if (env.mainBundlePath) return env.mainBundlePath;
  if (const auto info = platform::workspace::mainBundleInfo()) return info->path;
  return std::nullopt;
}

std::vector<std::string> processArguments(const ServiceEnableHandler::Environment& env) {
  return env.arguments ? *env.arguments : platform::process::arguments();
}

bool hasArgument(const ServiceEnableHandler::Environment& env, const std::string& argument) {
  const auto args = processArguments(env);
  return std::find(args.begin(), args.end(), argument) != args.end();
}

std::chrono::milliseconds pollInterval() { return ServiceEnableHandler::environment().timeouts.poll; }

// A time-out as a decimal number that always has a fraction: 3.0, 0.25, 10.0.
std::string seconds(double value) {
  char text[64];
  const auto [end, error] = std::to_chars(text, text + sizeof text, value);
  std::string out(text, error == std::errc() ? end : text);
  if (out.find_first_of(".e") == std::string::npos) out += ".0";
  return out;
}

void endProcess(int status) {
  auto exit = ServiceEnableHandler::environment().exitProcess;
  if (exit) {
    exit(status);
    return;
  }
  // Static destructors must not run under threads that still work.
  std::fflush(nullptr);
  ::_exit(status);
}

std::shared_ptr<UserDefaults> openSuite() { return UserDefaults::suite(kSharedDefaultsSuite); }

}  // namespace

void ServiceEnableHandler::setEnvironment(Environment environment) {
  std::lock_guard lock(environmentMutex());
  storedEnvironment() = std::move(environment);
}

ServiceEnableHandler::Environment ServiceEnableHandler::environment() {
  std::lock_guard lock(environmentMutex());
  return storedEnvironment();
}

std::string ServiceEnableHandler::homeDirectory() {
  const auto env = environment();
  return env.home ? *env.home : platform::paths::homeDirectory();
}

std::string ServiceEnableHandler::offByMarkerPath() {
  return ServiceLockFile::hiddenFolderPath(homeDirectory()) + "/extension.off-by-pellora";
}

bool ServiceEnableHandler::offByMarkerExists() { return ::access(offByMarkerPath().c_str(), F_OK) == 0; }

bool ServiceEnableHandler::isServiceProcess() {
  const auto path = mainBundlePath(environment());
  if (!path) return false;
  const auto info = platform::workspace::bundleInfo(*path);
  return info && info->identifier == kServiceBundleIdentifier;
}

std::string ServiceEnableHandler::serviceBundlePath() {
  const auto main = mainBundlePath(environment()).value_or("");
  if (isServiceProcess()) return main;
  return main + "/" + kServiceBundleInApp;
}

void ServiceEnableHandler::setLoginItemEnabled(bool enabled) {
  const platform::loginitems::LoginItems items;
  if (enabled) {
    items.registerItem(kServiceBundleIdentifier, serviceBundlePath());
  } else {
    items.unregisterItem(kServiceBundleIdentifier);
  }
}

void ServiceEnableHandler::restoreLoginItem() {
  setLoginItemEnabled(true);
  platform::dispatch::mainQueue()->async([] { loginItemUnregistered = false; });
}

void ServiceEnableHandler::handleEnabled(bool forceStart, std::function<void()> completion) {
  appCopyHoldsLock = false;
  const auto finish = [&completion] {
    if (completion) completion();
  };
  const auto enabled = userDefaultsHandler(std::nullopt);
  if (!enabled) return finish();
  const auto env = environment();
  const bool service = isServiceProcess();

  if (!*enabled) {
    setFinderExtension(false);
    if (!service) setLoginItemEnabled(false);
    size_t terminated = 0;
    for (const auto& app : RunningApplication::runningApplications(kServiceBundleIdentifier)) {
      if (app.processIdentifier() == ::getpid()) continue;
      app.forceTerminate();
      ++terminated;
    }
    if (service) {
      CLOG(StringTag::Service, "ServiceEnableHandler -> Pellora disabled - service exiting");
      endProcess(0);
      return;
    }
    if (terminated > 0) waitForServiceExit(env.timeouts.exitAfterSwitchingOff);
    return finish();
  }

  const bool checkVersion = hasArgument(env, kCheckVersionArgument);
  if (!checkVersion || offByMarkerExists()) setFinderExtension(true);
  if (!forceStart) {
    for (const auto& app : RunningApplication::runningApplications(kServiceBundleIdentifier)) {
      if (app.isTerminated()) continue;
      restoreLoginItem();
      return finish();
    }
  }
  const std::string serviceURL = serviceBundlePath();
  if (::access(serviceURL.c_str(), F_OK) != 0) {
    CLOG(StringTag::Service, "ServiceEnableHandler -> handleEnabled -> Service app not found at " + serviceURL);
    restoreLoginItem();
    return finish();
  }
  if (!service) {
    setLoginItemEnabled(false);
    loginItemUnregistered = true;
  }
  platform::workspace::OpenConfiguration configuration{.createsNewApplicationInstance = true};
  if (!service && !checkVersion) configuration.arguments = {kFromAppArgument};
  const double lockWait = env.timeouts.lockAfterOpening;
  platform::workspace::openApplication(
      serviceURL, configuration,
      [service, lockWait, completion = std::move(completion)](
          std::optional<RunningApplication> app, std::optional<std::string> error) {
        CLOG(StringTag::Service, "ServiceEnableHandler -> handleEnabled -> openApplication -> with error: " +
                                     error.value_or("nil"));
        if (!service && app) appCopyHoldsLock = waitForServiceLock(app->processIdentifier(), lockWait);
        restoreLoginItem();
        if (completion) completion();
      });
}

void ServiceEnableHandler::restartServiceFromApp(std::function<void(bool)> completion) {
  setLoginItemEnabled(false);
  loginItemUnregistered = true;
  for (const auto& app : RunningApplication::runningApplications(kServiceBundleIdentifier)) {
    app.forceTerminate();
  }
  const double wait = environment().timeouts.exitBeforeRestart;
  platform::dispatch::globalQueue(platform::dispatch::QoS::UserInitiated)
      ->async([wait, completion = std::move(completion)]() mutable {
        const bool exited = waitForServiceExit(wait);
        platform::dispatch::mainQueue()->async([exited, completion = std::move(completion)] {
          CLOG(StringTag::Service, std::string("ServiceEnableHandler -> restartServiceFromApp -> old service exited: ") +
                                       (exited ? "true" : "false"));
          if (!exited) {
            if (userDefaultsHandler(std::nullopt) == true) {
              setLoginItemEnabled(true);
              loginItemUnregistered = false;
            }
            if (completion) completion(false);
            return;
          }
          handleEnabled(true, [completion] {
            if (completion) completion(appCopyHoldsLock);
          });
        });
      });
}

void ServiceEnableHandler::setFinderExtension(bool enabled) {
  const auto env = environment();
  const std::string tool = env.pluginTool ? *env.pluginTool : platform::plugins::pluginToolPath();
  if (!enabled) {
    ServiceLockFile::createHiddenFolder(homeDirectory());
    const int fd = ::open(offByMarkerPath().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd >= 0) ::close(fd);
    shell({tool, "-e", "ignore", "-i", kFinderExtensionIdentifier});
    return;
  }
  shell({tool, "-e", "use", "-i", kFinderExtensionIdentifier});
  ::unlink(offByMarkerPath().c_str());
}

int32_t ServiceEnableHandler::shell(const std::vector<std::string>& arguments) {
  std::vector<std::string> argv{"/usr/bin/env"};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  return platform::process::run(argv).exitStatus;
}

bool ServiceEnableHandler::waitForServiceExit(double timeout) {
  const int fd = ServiceLockFile::openForProbe(homeDirectory());
  if (fd < 0) return true;
  const auto deadline = Clock::now() + std::chrono::duration<double>(timeout);
  const auto poll = pollInterval();
  for (;;) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
      ::flock(fd, LOCK_UN);
      ::close(fd);
      return true;
    }
    if (Clock::now() >= deadline) {
      CLOG(StringTag::Service, "ServiceEnableHandler -> service still holds the lock after " + seconds(timeout) + "s");
      ::close(fd);
      return false;
    }
    std::this_thread::sleep_for(poll);
  }
}

bool ServiceEnableHandler::waitForServiceLock(int32_t pid, double timeout) {
  const std::string home = homeDirectory();
  const std::string lockFile = ServiceLockFile::lockFilePath(home);
  const auto deadline = Clock::now() + std::chrono::duration<double>(timeout);
  const auto poll = pollInterval();
  do {
    if (ServiceLockFile::readHolderPid(lockFile) == pid) {
      const int fd = ServiceLockFile::openForProbe(home);
      if (fd >= 0) {
        if (::flock(fd, LOCK_SH | LOCK_NB) != 0) {
          ::close(fd);
          return true;
        }
        ::flock(fd, LOCK_UN);
        ::close(fd);
      }
    }
    std::this_thread::sleep_for(poll);
  } while (Clock::now() < deadline);
  CLOG(StringTag::Service, "ServiceEnableHandler -> service pid " + std::to_string(pid) +
                               " did not take the lock within " + seconds(timeout) + "s");
  return false;
}

bool ServiceEnableHandler::isServiceLockHeld() {
  const int fd = ServiceLockFile::openForProbe(homeDirectory());
  if (fd < 0) return false;
  bool held = true;
  if (::flock(fd, LOCK_SH | LOCK_NB) == 0) {
    ::flock(fd, LOCK_UN);
    held = false;
  }
  ::close(fd);
  return held;
}

std::optional<bool> ServiceEnableHandler::enabledValue(const std::optional<Value>& value) {
  if (!value) return std::nullopt;
  if (value->isNumber()) {
    if (const auto flag = value->boolean()) return *flag;
    return value->real().value_or(0) != 0;
  }
  const std::string* text = value->text();
  if (!text) return std::nullopt;
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; };
  size_t start = 0, end = text->size();
  while (start < end && blank((*text)[start])) ++start;
  while (end > start && blank((*text)[end - 1])) --end;
  std::string word = text->substr(start, end - start);
  std::transform(word.begin(), word.end(), word.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return word == "1" || word == "true" || word == "yes";
}

void ServiceEnableHandler::updateUserDefaults(bool enabled) {
  const auto suite = openSuite();
  if (!suite) return;
  CLOG(StringTag::Service, std::string("ServiceEnableHandler -> updateUserDefaults -> ") + (enabled ? "true" : "false"));
  // Always text: other readers of the key expect "1" and "0".
  suite->set(kEnabledDefaultsKey, Value(enabled ? "1" : "0"));
}

std::optional<bool> ServiceEnableHandler::userDefaultsHandler(std::optional<bool> value) {
  const auto suite = openSuite();
  if (!suite) return std::nullopt;
  if (value) {
    updateUserDefaults(*value);
    return std::nullopt;
  }
  if (const auto stored = enabledValue(suite->object(kEnabledDefaultsKey))) return stored;
  updateUserDefaults(true);
  return true;
}

bool ServiceEnableHandler::isEnabledInDefaults() {
  const auto suite = openSuite();
  if (!suite) return true;
  return enabledValue(suite->object(kEnabledDefaultsKey)).value_or(true);
}

bool ServiceEnableHandler::isEnabledForced() {
  const auto suite = openSuite();
  if (!suite) return false;
  return suite->objectIsForced(kEnabledDefaultsKey);
}
