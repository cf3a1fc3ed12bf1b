#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "process/Process.h"

extern char** environ;

namespace platform::process {

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
    if (auto info = processInfo(pid)) out.push_back(std::move(*info));
  }
  return out;
}

bool sendSignal(pid_t pid, int signal) { return ::kill(pid, signal) == 0; }

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

// Waits for the child, reading its output as it comes; a wake-up terminates it.
void waitChild(pid_t pid, int outFd, const RunOptions& options, RunResult& result) {
  const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
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
      result.interrupted = true;
      ::kill(pid, SIGTERM);
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
  if (pidfd >= 0) ::close(pidfd);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
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
  pid_t pid = 0;
  const int rc = ::posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
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
