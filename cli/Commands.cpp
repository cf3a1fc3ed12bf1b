#include "Commands.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "Application.h"
#include "BringOnline.h"
#include "CLog.h"
#include "Localization.h"
#include "ServiceEnableHandler.h"
#include "ServiceLockFile.h"
#include "SharePaths.h"
#include "StatusReport.h"
#include "StubCount.h"
#include "ZVFileManager.h"
#include "bundle/Bundle.h"
#include "dispatch/RunLoop.h"
#include "mounts/Mounts.h"
#include "process/Process.h"
#include "workspace/RunningApplication.h"

namespace pellora::cli {
namespace {

using namespace std::chrono_literals;

// The enable handler waits up to ten seconds for old copies to end and five for a new one's
// lock; this is well past both.
constexpr auto kSwitchTimeout = 60s;
// How long a switched-off copy may take to end (seconds), after the handler's own wait.
constexpr double kExitWait = 15.0;

void fail(const std::string& message) { std::fprintf(stderr, "pellora: %s\n", message.c_str()); }

// The copy that holds the service lock once the switch is on. Right after the copy that held it
// has died, the handler finds the copy that the login item keeps in standby running and is done;
// that copy takes the lock a moment later and names itself in the lock file after that. Until
// then the lock is free, or held under the line of the copy that died: both are waited out, up
// to the handler's own wait for a new copy's lock, while some copy runs.
std::optional<LockHolder> holderOnceTakenOver() {
  using platform::workspace::RunningApplication;
  const std::string home = ServiceEnableHandler::homeDirectory();
  const double wait = ServiceEnableHandler::environment().timeouts.lockAfterOpening;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(wait);
  bool told = false;
  for (;;) {
    const auto holder = ServiceLockFile::runningHolder(home);
    if (holder && platform::process::isAlive(holder->pid)) return holder;
    if (std::chrono::steady_clock::now() >= deadline ||
        RunningApplication::runningApplications(kServiceBundleIdentifier).empty()) {
      return std::nullopt;
    }
    if (!told) CLOG(StringTag::Service, "pellora enable -> no live copy holds the service lock yet - waiting");
    told = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

// While it lives, standard output and error are /dev/null unless they are regular files: the
// service the enable handler starts inherits them, and must neither write on the user's
// terminal after this program has ended nor hold a pipe's reader waiting for its end. Output to
// a file (a log kept on purpose) stays shared.
class DetachedOutput {
 public:
  DetachedOutput() {
    std::fflush(nullptr);
    const int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (devNull < 0) return;
    for (int fd : {STDOUT_FILENO, STDERR_FILENO}) {
      struct stat st {};
      if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) continue;
      const int saved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
      if (saved < 0) continue;
      ::dup2(devNull, fd);
      saved_.push_back({fd, saved});
    }
    ::close(devNull);
  }
  ~DetachedOutput() {
    std::fflush(nullptr);
    for (const auto& [fd, saved] : saved_) {
      ::dup2(saved, fd);
      ::close(saved);
    }
  }
  DetachedOutput(const DetachedOutput&) = delete;
  DetachedOutput& operator=(const DetachedOutput&) = delete;

 private:
  std::vector<std::pair<int, int>> saved_;
};

// The application's tables when it is found (a command works without them, in English).
std::optional<platform::bundle::Bundle> applicationForTexts(const Context& context) {
  const auto lookup = findApplication(std::nullopt, context.executable);
  if (!lookup.path) return std::nullopt;
  useLocalizationBundle(serviceBundleOf(*lookup.path));
  return platform::bundle::Bundle(*lookup.path);
}

size_t terminalWidth() {
  winsize size{};
  if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  if (const char* columns = std::getenv("COLUMNS")) {
    const long n = std::strtol(columns, nullptr, 10);
    if (n > 0) return static_cast<size_t>(n);
  }
  return 80;
}

ExitStatus runStatus(const Invocation& invocation, const Context& context) {
  const auto app = applicationForTexts(context);
  const Texts texts = [app](const std::string& key, const std::string& english) {
    if (app) return app->localizedString(key, english);
    return english.empty() ? key : english;
  };
  StatusProbe probe;
  const StatusReport report = gatherStatus(probe, texts);
  if (invocation.json) {
    std::printf("%s\n", statusJson(report).dump(2, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
  } else {
    std::fputs(renderStatusText(report).c_str(), stdout);
  }
  return report.working() ? kExitOk : kExitFailed;
}

ExitStatus runSwitch(const Invocation& invocation, const Context& context) {
  const bool on = invocation.command == Command::Enable;
  const auto lookup = findApplication(invocation.app, context.executable);
  if (!lookup.path) {
    fail(lookup.error);
    return lookup.failure;
  }
  if (ServiceEnableHandler::isEnabledForced() && ServiceEnableHandler::isEnabledInDefaults() != on) {
    fail(std::string("the switch is managed by your administrator: Pellora stays ") + (on ? "off" : "on"));
    return kExitFailed;
  }
  // The handler acts as the application, from the application's bundle.
  ServiceEnableHandler::Environment environment;
  environment.mainBundlePath = *lookup.path;
  environment.arguments = std::vector<std::string>{platform::bundle::Bundle(*lookup.path).executablePath()};
  ServiceEnableHandler::setEnvironment(environment);
  useLocalizationBundle(serviceBundleOf(*lookup.path));

  std::atomic<bool> done{false};
  {
    DetachedOutput detached;
    // As the window's switch and its Start button do.
    ServiceEnableHandler::updateUserDefaults(on);
    if (invocation.restart) {
      ServiceEnableHandler::restartServiceFromApp([&done](bool) { done = true; });
    } else {
      ServiceEnableHandler::handleEnabled(false, [&done] { done = true; });
    }
    // The handler finishes on the main queue, which this loop serves.
    platform::dispatch::RunLoop::main()->runUntil([&] { return done.load(); }, kSwitchTimeout);
  }
  if (!done) {
    fail("the enable handler did not finish");
    return kExitFailed;
  }
  if (!on) {
    // A copy killed while the kernel still tears down its watches holds the lock a while
    // longer than the handler waits.
    if (!ServiceEnableHandler::waitForServiceExit(kExitWait)) {
      const auto holder = ServiceLockFile::runningHolder(ServiceEnableHandler::homeDirectory());
      fail("Pellora is off, but the service copy " + (holder ? "with pid " + std::to_string(holder->pid) + " " : "") +
           "has not ended yet");
      return kExitFailed;
    }
    std::printf("Pellora is off.\n");
    return kExitOk;
  }
  const auto holder = holderOnceTakenOver();
  if (!holder) {
    fail("Pellora is on, but no service copy runs (see `pellora status`)");
    return kExitFailed;
  }
  std::printf("Pellora is on; the service runs with pid %d.\n", holder->pid);
  return kExitOk;
}

// The checked paths, or the failure's status after telling it.
std::optional<std::vector<SharePath>> sharePaths(const std::vector<std::string>& given, ExitStatus& failure) {
  const auto mounts = platform::mounts::listMounts();
  if (!mounts) {
    fail("the mount table cannot be read");
    failure = kExitFailed;
    return std::nullopt;
  }
  auto check = checkSharePaths(given, *mounts);
  if (check.failure != kExitOk) {
    fail(check.error);
    failure = check.failure;
    return std::nullopt;
  }
  return std::move(check.paths);
}

ExitStatus runStubs(const Invocation& invocation, const Context& context) {
  ExitStatus failure = kExitOk;
  const auto paths = sharePaths(invocation.paths, failure);
  if (!paths) return failure;
  applicationForTexts(context);
  const auto manager = std::make_shared<ZVFileManager>();
  // As written for the text, absolute for scripts.
  std::vector<std::pair<std::string, StubTally>> shown;
  std::vector<std::pair<std::string, StubTally>> folders;
  for (const auto& path : *paths) {
    // The same expansion as a bring-online request of this path.
    std::optional<FileList> files;
    std::optional<ZVError> error;
    manager->fileAggregation({path.path}, [&](FileList urls, std::optional<ZVError> e) {
      files = std::move(urls);
      error = std::move(e);
    });
    platform::dispatch::RunLoop::main()->runUntil([&] { return files.has_value(); }, std::chrono::hours(24));
    if (error || !files) {
      fail(path.given + ": " + (error ? error->localizedDescription : "the folder could not be read"));
      return kExitFailed;
    }
    const StubTally found = tally(factsOf(*files));
    shown.emplace_back(path.given, found);
    folders.emplace_back(path.path, found);
  }
  if (invocation.json) {
    std::printf("%s\n", stubsJson(folders).dump(2, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
  } else {
    std::fputs(renderStubLines(shown).c_str(), stdout);
  }
  return kExitOk;
}

ExitStatus runBringOnline(const Invocation& invocation, const Context& context) {
  ExitStatus failure = kExitOk;
  const auto paths = sharePaths(invocation.paths, failure);
  if (!paths) return failure;
  if (!invocation.withoutService && !StatusProbe().serviceRuns()) {
    fail("no Pellora service runs, and it keeps the badges in step with what comes online. Start it "
         "with `pellora enable`, or bring the files online without it: --without-service");
    return kExitNoService;
  }
  applicationForTexts(context);
  std::vector<std::string> selection;
  for (const auto& path : *paths) selection.push_back(path.path);
  BringOnlineOutput output;
  output.terminal = ::isatty(STDOUT_FILENO) == 1;
  output.width = terminalWidth() > 1 ? terminalWidth() - 1 : 1;
  return bringOnline(selection, output);
}

// The communication file the service reads when a gateway folder is opened.
ExitStatus runPreviews(const Invocation& invocation) {
  ZVFileManager files;
  if (invocation.previews) {
    files.setPreviewStateEnabled(*invocation.previews);
    if (files.previewStateEnabled() != invocation.previews) {
      fail("the preview choice cannot be written to " + files.communicationFileURL().value_or("the shared folder"));
      return kExitFailed;
    }
  }
  const auto choice = files.previewStateEnabled();
  // No file yet: the service keeps previews off.
  std::printf("previews %s\n", choice.value_or(false) ? "on" : "off");
  return kExitOk;
}

}  // namespace

ExitStatus run(const Invocation& invocation, const Context& context) {
  switch (invocation.command) {
    case Command::Status:
      return runStatus(invocation, context);
    case Command::Enable:
    case Command::Disable:
      return runSwitch(invocation, context);
    case Command::Previews:
      return runPreviews(invocation);
    case Command::Stubs:
      return runStubs(invocation, context);
    case Command::BringOnline:
      return runBringOnline(invocation, context);
  }
  return kExitUsage;
}

}  // namespace pellora::cli
