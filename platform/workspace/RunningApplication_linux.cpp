#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>

#include "process/Process.h"
#include "workspace/Workspace.h"

namespace platform::workspace {
namespace fs = std::filesystem;

// A pidfd names the process itself, so that a signal never reaches a later process that got
// the same pid; without one, the start time tells the two apart.
struct RunningApplication::Handle {
  int pidfd = -1;
  uint64_t startTime = 0;
  ~Handle() {
    if (pidfd >= 0) ::close(pidfd);
  }
};

namespace {

std::optional<std::string> executableOf(pid_t pid) {
  std::error_code ec;
  std::string exe = fs::read_symlink("/proc/" + std::to_string(pid) + "/exe", ec).string();
  if (ec || exe.empty()) return std::nullopt;
  // A replaced or removed executable keeps its old path with this mark.
  const std::string deleted = " (deleted)";
  if (exe.size() > deleted.size() && exe.compare(exe.size() - deleted.size(), deleted.size(), deleted) == 0 &&
      !fs::exists(exe, ec)) {
    exe.resize(exe.size() - deleted.size());
  }
  return exe;
}

// A running program of this user in this session. One in a pid namespace below ours (a
// container, a test's sandbox) shows in /proc but runs apart: stopping it is not ours to do.
bool isOurs(pid_t pid) {
  if (!process::isAlive(pid) || process::inOtherPidNamespace(pid)) return false;
  const auto info = process::processInfo(pid);
  return info && info->realUid == ::getuid();
}

}  // namespace

RunningApplication::RunningApplication(pid_t pid, std::shared_ptr<const Handle> handle)
    : pid_(pid), handle_(std::move(handle)) {}

std::optional<RunningApplication> RunningApplication::describe(pid_t pid,
                                                               const std::string& executable) {
  const auto stat = process::processStat(pid);
  if (!stat) return std::nullopt;
  auto handle = std::make_shared<Handle>();
  handle->startTime = stat->startTime;
  handle->pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  // The pid may have gone to another process between the two reads.
  const auto again = process::processStat(pid);
  if (!again || again->startTime != stat->startTime) return std::nullopt;
  RunningApplication app(pid, std::move(handle));
  app.executableURL_ = executable;
  if (const auto bundle = enclosingBundlePath(executable)) {
    if (const auto info = bundleInfo(*bundle)) {
      app.bundleURL_ = info->path;
      app.bundleIdentifier_ = info->identifier;
    }
  }
  return app;
}

std::optional<RunningApplication> RunningApplication::withProcessIdentifier(pid_t pid) {
  if (pid <= 0 || !isOurs(pid)) return std::nullopt;
  const auto exe = executableOf(pid);
  if (!exe) return std::nullopt;
  return describe(pid, *exe);
}

std::vector<RunningApplication> RunningApplication::runningApplications(
    const std::string& bundleIdentifier) {
  std::vector<RunningApplication> out;
  std::map<std::string, std::optional<std::string>> identifiers;  // bundle -> identifier
  auto pids = process::listPids();
  std::sort(pids.begin(), pids.end());
  for (pid_t pid : pids) {
    const auto exe = executableOf(pid);  // unreadable for other users' processes
    if (!exe) continue;
    const auto bundle = enclosingBundlePath(*exe);
    if (!bundle) continue;
    auto known = identifiers.find(*bundle);
    if (known == identifiers.end()) {
      const auto info = bundleInfo(*bundle);
      known = identifiers.emplace(*bundle, info ? info->identifier : std::nullopt).first;
    }
    if (known->second != bundleIdentifier) continue;
    if (!isOurs(pid)) continue;
    if (auto app = describe(pid, *exe)) out.push_back(std::move(*app));
  }
  return out;
}

bool RunningApplication::isTerminated() const {
  if (!handle_) return true;
  if (handle_->pidfd >= 0) {
    pollfd p{handle_->pidfd, POLLIN, 0};
    return ::poll(&p, 1, 0) != 0;
  }
  const auto stat = process::processStat(pid_);
  return !stat || stat->startTime != handle_->startTime || stat->state == 'Z' || stat->state == 'X';
}

bool RunningApplication::signal(int number) const {
  if (isTerminated()) return false;
  if (handle_->pidfd >= 0) {
    return ::syscall(SYS_pidfd_send_signal, handle_->pidfd, number, nullptr, 0) == 0;
  }
  return ::kill(pid_, number) == 0;
}

bool RunningApplication::forceTerminate() const { return signal(SIGKILL); }

bool RunningApplication::terminate() const { return signal(SIGTERM); }

}  // namespace platform::workspace
