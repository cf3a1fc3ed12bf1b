#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>

#include "ExtensionHost.h"
#include "ExtensionProcess.h"
#include "ExtensionSupervisor.h"
#include "bundle/Bundle.h"
#include "log/Log.h"

namespace pellora::host {

namespace fs = std::filesystem;
using platform::plugins::Plugin;

namespace {

const platform::log::Log& supervisorLog() {
  static const platform::log::Log log("com.zavro.Pellora", "Host");
  return log;
}

std::string describe(int status) {
  if (WIFEXITED(status)) return "exited with status " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return "was killed by signal " + std::to_string(WTERMSIG(status));
  return "ended";
}

long long millis(ExtensionSupervisor::Clock::duration d) {
  return static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(d).count());
}

// Without process descriptors an ended child is noticed by this poll.
constexpr auto kReapPoll = std::chrono::milliseconds(100);

}  // namespace

struct ExtensionSupervisor::Running {
  std::string identifier;
  std::string path;
  std::unique_ptr<ExtensionProcess> process;
  Clock::time_point started;
  HostLoop::WatchId exitWatch = 0;
  HostLoop::TimerId reapTimer = 0;
  HostLoop::TimerId killTimer = 0;
  bool stopping = false;
};

ExtensionSupervisor::ExtensionSupervisor(HostLoop& loop, ExtensionHost& host, Options options)
    : loop_(loop),
      host_(host),
      options_(std::move(options)),
      registry_(options_.registryFile.empty()
                    ? platform::plugins::PluginRegistry()
                    : platform::plugins::PluginRegistry(options_.registryFile)) {}

ExtensionSupervisor::~ExtensionSupervisor() {
  stopAll();
  stopWatching();
}

void ExtensionSupervisor::start() {
  PELLORA_DCHECK_SEQUENCE(sequence_);
  watchRegistry();
  poll_ = loop_.addTimer(options_.pollInterval, options_.pollInterval, [this] { reconcile(); });
  reconcile();
}

void ExtensionSupervisor::watchRegistry() {
  const std::string folder = fs::path(registry_.file()).parent_path().string();
  std::error_code ec;
  fs::create_directories(folder, ec);
  inotify_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  // The registry is replaced by rename: a watch on its folder sees every change.
  if (inotify_ < 0 ||
      ::inotify_add_watch(inotify_, folder.c_str(),
                          IN_CREATE | IN_MOVED_TO | IN_CLOSE_WRITE | IN_DELETE | IN_MOVED_FROM) <
          0) {
    supervisorLog().errorf("Cannot watch %s; following the registry by polling only",
                           folder.c_str());
    stopWatching();
    return;
  }
  registryWatch_ = loop_.addWatch(inotify_, POLLIN, [this](short) {
    char buffer[4096];
    while (::read(inotify_, buffer, sizeof buffer) > 0) {
    }
    reconcile();
  });
}

void ExtensionSupervisor::stopWatching() {
  if (registryWatch_) loop_.removeWatch(registryWatch_);
  registryWatch_ = 0;
  if (inotify_ >= 0) ::close(inotify_);
  inotify_ = -1;
}

void ExtensionSupervisor::reconcile() {
  PELLORA_DCHECK_SEQUENCE(sequence_);
  if (stopped_) return;
  std::map<std::string, Plugin> wanted;
  for (const auto& [id, plugin] : registry_.load()) {
    if (plugin.enabled && !plugin.path.empty()) wanted[id] = plugin;
  }
  for (auto& [id, r] : running_) {
    const auto it = wanted.find(id);
    if (!r->stopping && (it == wanted.end() || it->second.path != r->path)) stop(*r);
  }
  for (auto it = relaunches_.begin(); it != relaunches_.end();) {
    if (wanted.count(it->first)) {
      ++it;
      continue;
    }
    loop_.removeTimer(it->second);
    backoff_.erase(it->first);
    it = relaunches_.erase(it);
  }
  for (const auto& [id, plugin] : wanted) {
    // One being stopped is started again once it has ended; one that died waits its delay.
    if (!running_.count(id) && !relaunches_.count(id)) launch(plugin);
  }
}

void ExtensionSupervisor::launch(const Plugin& plugin) {
  const std::string executable = platform::bundle::Bundle(plugin.path).executablePath();
  std::string error;
  auto process = ExtensionProcess::launch(executable, error);
  if (!process) {
    supervisorLog().errorf("Cannot start %s: %s", plugin.identifier.c_str(), error.c_str());
    scheduleRelaunch(plugin.identifier, true);
    return;
  }
  auto r = std::make_unique<Running>();
  r->identifier = plugin.identifier;
  r->path = plugin.path;
  r->started = Clock::now();
  r->process = std::move(process);
  const std::string id = plugin.identifier;
  if (r->process->exitFd() >= 0) {
    r->exitWatch = loop_.addWatch(r->process->exitFd(), POLLIN, [this, id](short) { ended(id); });
  } else {
    r->reapTimer = loop_.addTimer(kReapPoll, kReapPoll, [this, id] {
      const auto it = running_.find(id);
      if (it != running_.end() && it->second->process->reap()) ended(id);
    });
  }
  supervisorLog().infof("Started %s (pid %d): %s", id.c_str(), r->process->pid(),
                        executable.c_str());
  const int socket = r->process->takeSocket();
  running_[id] = std::move(r);
  host_.connect(id, socket);
}

void ExtensionSupervisor::stop(Running& r) {
  supervisorLog().infof("Stopping %s (pid %d)", r.identifier.c_str(), r.process->pid());
  r.stopping = true;
  r.process->signal(SIGTERM);
  // Closing the connection also tells a well-behaved extension to end.
  host_.disconnect(r.identifier);
  const std::string id = r.identifier;
  r.killTimer = loop_.addTimer(options_.stopTimeout, Clock::duration::zero(), [this, id] {
    const auto it = running_.find(id);
    if (it == running_.end()) return;
    it->second->killTimer = 0;
    supervisorLog().errorf("%s did not end on SIGTERM; killing it", id.c_str());
    it->second->process->signal(SIGKILL);
  });
}

void ExtensionSupervisor::ended(const std::string& identifier) {
  const auto it = running_.find(identifier);
  if (it == running_.end()) return;
  std::unique_ptr<Running> r = std::move(it->second);
  running_.erase(it);
  const auto status = r->process->reap();
  if (!status) {
    // Readable yet not reapable cannot happen for our own child; do not spin on it.
    supervisorLog().errorf("%s: process %d could not be reaped", identifier.c_str(),
                           r->process->pid());
  }
  if (r->exitWatch) loop_.removeWatch(r->exitWatch);
  if (r->reapTimer) loop_.removeTimer(r->reapTimer);
  if (r->killTimer) loop_.removeTimer(r->killTimer);
  host_.disconnect(identifier);
  const std::string how = status ? describe(*status) : "ended";
  if (r->stopping) {
    supervisorLog().infof("%s (pid %d) %s after being stopped", identifier.c_str(),
                          r->process->pid(), how.c_str());
    backoff_.erase(identifier);
    reconcile();
    return;
  }
  supervisorLog().errorf("%s (pid %d) %s", identifier.c_str(), r->process->pid(), how.c_str());
  scheduleRelaunch(identifier, Clock::now() - r->started < options_.youngDeath);
}

void ExtensionSupervisor::scheduleRelaunch(const std::string& identifier, bool young) {
  if (stopped_ || relaunches_.count(identifier)) return;
  Clock::duration& delay = backoff_[identifier];
  if (!young || delay == Clock::duration::zero()) {
    delay = options_.relaunchDelay;
  } else {
    delay = std::min(delay * 2, options_.maxRelaunchDelay);
  }
  supervisorLog().infof("Starting %s again in %lld ms", identifier.c_str(), millis(delay));
  relaunches_[identifier] = loop_.addTimer(delay, Clock::duration::zero(), [this, identifier] {
    relaunches_.erase(identifier);
    reconcile();
  });
}

std::vector<ExtensionSupervisor::Entry> ExtensionSupervisor::extensions() const {
  std::vector<Entry> out;
  for (const auto& [id, plugin] : registry_.load()) {
    if (plugin.path.empty()) continue;
    Entry e{plugin, 0};
    if (const auto it = running_.find(id); it != running_.end()) e.pid = it->second->process->pid();
    out.push_back(std::move(e));
  }
  return out;
}

void ExtensionSupervisor::stopAll() {
  if (stopped_) return;
  stopped_ = true;
  stopWatching();
  if (poll_) loop_.removeTimer(poll_);
  poll_ = 0;
  for (const auto& [id, timer] : relaunches_) loop_.removeTimer(timer);
  relaunches_.clear();
  for (auto& [id, r] : running_) {
    if (r->exitWatch) loop_.removeWatch(r->exitWatch);
    if (r->reapTimer) loop_.removeTimer(r->reapTimer);
    if (r->killTimer) loop_.removeTimer(r->killTimer);
    r->process->signal(SIGTERM);
    host_.disconnect(id);
  }
  // Waits on the processes' descriptors (or their status) up to the deadline.
  const auto deadline = Clock::now() + options_.stopTimeout;
  for (auto& [id, r] : running_) {
    while (!r->process->reap()) {
      const long long left = millis(deadline - Clock::now());
      if (left <= 0) break;
      pollfd p{r->process->exitFd(), POLLIN, 0};
      const bool pidfd = r->process->exitFd() >= 0;
      if (::poll(&p, pidfd ? 1 : 0, pidfd ? static_cast<int>(left) : 10) < 0 && errno != EINTR) {
        break;
      }
    }
    if (!r->process->reap()) {
      supervisorLog().errorf("%s did not end on SIGTERM; killing it", id.c_str());
    }
  }
  // Each process object kills and reaps what is left.
  running_.clear();
}

}  // namespace pellora::host
