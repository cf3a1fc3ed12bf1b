#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "process/Process.h"

extern char** environ;

namespace platform::process {

namespace fs = std::filesystem;

std::vector<pid_t> listPids() {
  std::vector<pid_t> pids;
  DIR* dir = ::opendir("/proc");
  if (!dir) return pids;
  while (dirent* entry = ::readdir(dir)) {
    char* end = nullptr;
    const long pid = std::strtol(entry->d_name, &end, 10);
    if (*end == '\0' && pid > 0) pids.push_back(static_cast<pid_t>(pid));
  }
  ::closedir(dir);
  return pids;
}

std::optional<ProcessInfo> processInfo(pid_t pid) {
  const std::string base = "/proc/" + std::to_string(pid);
  std::ifstream comm(base + "/comm");
  std::string name;
  if (!std::getline(comm, name)) return std::nullopt;
  std::ifstream status(base + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("Uid:", 0) != 0) continue;
    std::istringstream fields(line.substr(4));
    uid_t real = 0;
    fields >> real;
    return ProcessInfo{pid, name, real};
  }
  return std::nullopt;
}

std::vector<ProcessInfo> listProcesses() {
  std::vector<ProcessInfo> out;
  for (pid_t pid : listPids()) {
    if (inOtherPidNamespace(pid)) continue;
    if (auto info = processInfo(pid)) out.push_back(std::move(*info));
  }
  return out;
}

bool inOtherPidNamespace(pid_t pid) {
  std::error_code ec;
  static const fs::path own = fs::read_symlink("/proc/self/ns/pid", ec);
  const fs::path theirs = fs::read_symlink("/proc/" + std::to_string(pid) + "/ns/pid", ec);
  return !own.empty() && !theirs.empty() && theirs != own;
}

bool sendSignal(pid_t pid, int signal) { return ::kill(pid, signal) == 0; }

std::optional<ProcessStat> processStat(pid_t pid) {
  if (pid <= 0) return std::nullopt;
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(in, line)) return std::nullopt;
  // The command name in parentheses may hold anything, parentheses and blanks included.
  const size_t close = line.rfind(')');
  if (close == std::string::npos) return std::nullopt;
  std::istringstream fields(line.substr(close + 1));
  ProcessStat stat;
  std::string skip;
  fields >> stat.state;
  pid_t parent = 0;
  fields >> parent >> stat.processGroup >> stat.session;
  // Fields 8 to 21 (tty ... itrealvalue) come before the start time.
  for (int i = 8; i <= 21; ++i) fields >> skip;
  fields >> stat.startTime;
  if (!fields) return std::nullopt;
  return stat;
}

bool isAlive(pid_t pid) {
  const auto stat = processStat(pid);
  return stat && stat->state != 'Z' && stat->state != 'X';
}

std::string bootIdentifier() {
  std::ifstream in("/proc/sys/kernel/random/boot_id");
  std::string id;
  std::getline(in, id);
  return id;
}

std::vector<std::string> arguments() {
  std::ifstream in("/proc/self/cmdline", std::ios::binary);
  std::vector<std::string> out;
  std::string arg;
  while (std::getline(in, arg, '\0')) out.push_back(arg);
  return out;
}

std::optional<std::string> findExecutable(const std::string& name, const std::string& searchPath) {
  const auto usable = [](const std::string& file) {
    struct stat st {};
    return ::stat(file.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(file.c_str(), X_OK) == 0;
  };
  if (name.empty()) return std::nullopt;
  if (name.find('/') != std::string::npos) {
    if (usable(name)) return name;
    return std::nullopt;
  }
  size_t start = 0;
  while (start <= searchPath.size()) {
    size_t end = searchPath.find(':', start);
    if (end == std::string::npos) end = searchPath.size();
    if (end > start) {
      const std::string candidate = searchPath.substr(start, end - start) + "/" + name;
      if (usable(candidate)) return candidate;
    }
    start = end + 1;
  }
  return std::nullopt;
}

std::optional<std::string> findExecutable(const std::string& name) {
  const char* path = std::getenv("PATH");
  return findExecutable(name, path ? path : "");
}

Waker::Waker() { fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK); }

Waker::~Waker() {
  if (fd_ >= 0) ::close(fd_);
}

void Waker::wake() {
  woken_ = true;
  const uint64_t one = 1;
  [[maybe_unused]] ssize_t n = ::write(fd_, &one, sizeof one);
}

bool Waker::waitFor(int milliseconds) const {
  if (woken_) return true;
  pollfd p{fd_, POLLIN, 0};
  while (::poll(&p, 1, milliseconds) < 0 && errno == EINTR) {
  }
  return woken_;
}

namespace {

bool readSome(int fd, const RunOptions& options, RunResult& result) {
  char buffer[4096];
  const ssize_t got = ::read(fd, buffer, sizeof buffer);
  if (got <= 0) return false;
  if (result.output.size() < options.maxOutput) result.output.append(buffer, static_cast<size_t>(got));
  return true;
}

int millisecondsUntil(std::chrono::steady_clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// True while a process of the group has not ended. Ended ones may wait a while for whoever
// inherited them to reap them, and still count for kill().
bool groupExists(pid_t group) {
  if (::kill(-group, 0) != 0 && errno != EPERM) return false;
  for (pid_t pid : listPids()) {
    const auto stat = processStat(pid);
    if (stat && stat->processGroup == group && stat->state != 'Z' && stat->state != 'X') return true;
  }
  return false;
}

// Ends the child's process group: SIGTERM to all of it, SIGKILL to whatever is left once the
// grace has passed. The child is reaped; its status goes to status.
void endGroup(pid_t pid, int pidfd, std::chrono::milliseconds grace, int& status) {
  ::kill(-pid, SIGTERM);
  const auto deadline = std::chrono::steady_clock::now() + grace;
  bool reaped = false;
  for (;;) {
    const pid_t got = ::waitpid(pid, &status, WNOHANG);
    if (got == pid || (got < 0 && errno != EINTR)) {
      reaped = true;
      break;
    }
    const int left = millisecondsUntil(deadline);
    if (left == 0) break;
    if (pidfd >= 0) {
      pollfd p{pidfd, POLLIN, 0};
      ::poll(&p, 1, left);
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(std::min(left, 10)));
    }
  }
  // Programs the child started may outlive it for a moment.
  while (reaped && groupExists(pid) && millisecondsUntil(deadline) > 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (!reaped || groupExists(pid)) ::kill(-pid, SIGKILL);
  if (!reaped) {
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }
}

// Waits for the child, reading its output as it comes; a wake-up ends its process group.
void waitChild(pid_t pid, int outFd, const RunOptions& options, RunResult& result) {
  const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  bool interrupted = false;
  for (;;) {
    pollfd fds[3];
    nfds_t n = 0;
    pollfd* exitFd = pidfd >= 0 ? &(fds[n++] = {pidfd, POLLIN, 0}) : nullptr;
    pollfd* output = outFd >= 0 ? &(fds[n++] = {outFd, POLLIN, 0}) : nullptr;
    if (options.waker) fds[n++] = {options.waker->fd(), POLLIN, 0};
    if (n == 0) break;
    if (::poll(fds, n, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (options.waker && options.waker->woken()) {
      interrupted = true;
      break;
    }
    if (output && output->revents != 0 && !readSome(outFd, options, result)) {
      ::close(outFd);
      outFd = -1;
      if (pidfd < 0) break;  // without a pidfd, end of output stands for the exit
    }
    if (exitFd && (exitFd->revents & POLLIN)) {
      // Take what the child wrote before it ended; a grandchild may hold the pipe open.
      if (outFd >= 0) {
        pollfd p{outFd, POLLIN, 0};
        while (::poll(&p, 1, 0) > 0 && readSome(outFd, options, result)) {
        }
      }
      break;
    }
  }
  if (outFd >= 0) ::close(outFd);
  int status = 0;
  if (interrupted) {
    result.interrupted = true;
    endGroup(pid, pidfd, options.killGrace, status);
  } else {
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }
  if (pidfd >= 0) ::close(pidfd);
  result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Every signal that can be caught, for resetting a child's dispositions.
sigset_t catchableSignals() {
  sigset_t all;
  sigfillset(&all);
  sigdelset(&all, SIGKILL);
  sigdelset(&all, SIGSTOP);
  return all;
}

}  // namespace

RunResult run(const std::vector<std::string>& argv, const RunOptions& options) {
  RunResult result;
  if (argv.empty()) return result;
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  int pipeFds[2] = {-1, -1};
  if (options.captureOutput) {
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) return result;
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
  }
  // A group of its own, so that a stop reaches whatever the child starts; signals as a fresh
  // program expects them, even when this process blocks its stop signals.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes,
                           POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  posix_spawnattr_setpgroup(&attributes, 0);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attributes, &none);
  const sigset_t all = catchableSignals();
  posix_spawnattr_setsigdefault(&attributes, &all);
  pid_t pid = 0;
  const int rc = ::posix_spawnp(&pid, args[0], &actions, &attributes, args.data(), environ);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  if (pipeFds[1] >= 0) ::close(pipeFds[1]);
  if (rc != 0) {
    if (pipeFds[0] >= 0) ::close(pipeFds[0]);
    return result;
  }
  result.started = true;
  waitChild(pid, pipeFds[0], options, result);
  return result;
}

RunResult runShell(const std::string& command, const RunOptions& options) {
  return run({"/bin/sh", "-c", command}, options);
}

namespace {

bool readAll(int fd, void* data, size_t size) {
  auto* bytes = static_cast<char*>(data);
  size_t done = 0;
  while (done < size) {
    const ssize_t n = ::read(fd, bytes + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

void writeAll(int fd, const void* data, size_t size) {
  const auto* bytes = static_cast<const char*>(data);
  size_t done = 0;
  while (done < size) {
    const ssize_t n = ::write(fd, bytes + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

std::vector<std::string> environmentWith(
    const std::map<std::string, std::optional<std::string>>& changes) {
  std::vector<std::string> out;
  for (char** e = environ; e && *e; ++e) {
    const std::string entry = *e;
    const std::string name = entry.substr(0, entry.find('='));
    if (changes.count(name) == 0) out.push_back(entry);
  }
  for (const auto& [name, value] : changes) {
    if (value) out.push_back(name + "=" + *value);
  }
  return out;
}

}  // namespace

SpawnResult spawnDetached(const std::vector<std::string>& argv,
                          const std::map<std::string, std::optional<std::string>>& environment) {
  SpawnResult result;
  if (argv.empty() || argv[0].find('/') == std::string::npos) {
    result.error = ENOENT;
    return result;
  }
  // Everything the children need is built before fork: after it they may only make system calls.
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const std::vector<std::string> envText = environmentWith(environment);
  std::vector<char*> env;
  for (const auto& e : envText) env.push_back(const_cast<char*>(e.c_str()));
  env.push_back(nullptr);
  const sigset_t all = catchableSignals();

  const int devNull = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  int pidPipe[2] = {-1, -1};
  int errorPipe[2] = {-1, -1};
  if (devNull < 0 || ::pipe2(pidPipe, O_CLOEXEC) != 0 || ::pipe2(errorPipe, O_CLOEXEC) != 0) {
    result.error = errno;
    for (int fd : {devNull, pidPipe[0], pidPipe[1], errorPipe[0], errorPipe[1]}) {
      if (fd >= 0) ::close(fd);
    }
    return result;
  }

  // Two forks: the middle process ends at once, so the program is nobody's child here.
  const pid_t middle = ::fork();
  if (middle == 0) {
    const pid_t program = ::_Fork();
    if (program == 0) {
      ::setsid();
      struct sigaction dfl {};
      dfl.sa_handler = SIG_DFL;
      for (int sig = 1; sig < NSIG; ++sig) {
        if (sigismember(&all, sig) == 1) ::sigaction(sig, &dfl, nullptr);
      }
      sigset_t none;
      sigemptyset(&none);
      ::sigprocmask(SIG_SETMASK, &none, nullptr);
      ::dup2(devNull, STDIN_FILENO);
      ::execve(args[0], args.data(), env.data());
      const int error = errno;
      writeAll(errorPipe[1], &error, sizeof error);
      ::_exit(127);
    }
    const int32_t sent = program > 0 ? program : -errno;
    writeAll(pidPipe[1], &sent, sizeof sent);
    ::_exit(0);
  }
  ::close(devNull);
  ::close(pidPipe[1]);
  ::close(errorPipe[1]);
  if (middle < 0) {
    result.error = errno;
    ::close(pidPipe[0]);
    ::close(errorPipe[0]);
    return result;
  }
  int32_t program = 0;
  const bool gotPid = readAll(pidPipe[0], &program, sizeof program);
  ::close(pidPipe[0]);
  while (::waitpid(middle, nullptr, 0) < 0 && errno == EINTR) {
  }
  // The pipe ends without a word when exec succeeds (close-on-exec) and with errno when not.
  int execError = 0;
  const bool failed = readAll(errorPipe[0], &execError, sizeof execError);
  ::close(errorPipe[0]);
  if (!gotPid || program <= 0) {
    result.error = gotPid ? -program : ECHILD;
    return result;
  }
  if (failed) {
    result.error = execError;
    return result;
  }
  result.pid = program;
  return result;
}

std::string shellQuote(const std::string& text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'') {
      out += "'\\''";
    } else {
      out += c;
    }
  }
  return out + "'";
}

}  // namespace platform::process
