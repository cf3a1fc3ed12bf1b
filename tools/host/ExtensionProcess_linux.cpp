#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "ExtensionProcess.h"
#include "findersync/Runtime.h"

extern char** environ;

namespace pellora::host {

std::unique_ptr<ExtensionProcess> ExtensionProcess::launch(const std::string& executable,
                                                           std::string& error) {
  if (::access(executable.c_str(), X_OK) != 0) {
    error = executable + ": " + std::strerror(errno);
    return nullptr;
  }
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
    error = std::string("socketpair: ") + std::strerror(errno);
    return nullptr;
  }
  const int childEnd = fds[1];
  // Everything the child needs is made before fork: after it, only async-signal-safe calls.
  const std::string variable = std::string(platform::findersync::kSocketVariable) + "=";
  const std::string assignment = variable + std::to_string(childEnd);
  std::vector<char*> envp;
  for (char** e = environ; e && *e; ++e) {
    if (std::strncmp(*e, variable.c_str(), variable.size()) != 0) envp.push_back(*e);
  }
  envp.push_back(const_cast<char*>(assignment.c_str()));
  envp.push_back(nullptr);
  char* argv[] = {const_cast<char*>(executable.c_str()), nullptr};
  sigset_t all, saved;
  sigfillset(&all);
  // No handler of ours may run in the child between fork and exec.
  ::pthread_sigmask(SIG_SETMASK, &all, &saved);
  const pid_t pid = ::fork();
  if (pid == 0) {
    for (int sig = 1; sig < NSIG; ++sig) {
      if (sig != SIGKILL && sig != SIGSTOP) ::signal(sig, SIG_DFL);
    }
    ::pthread_sigmask(SIG_SETMASK, &saved, nullptr);
    ::fcntl(childEnd, F_SETFD, 0);
    ::execve(argv[0], argv, envp.data());
    ::_exit(127);
  }
  const int forkErrno = errno;
  ::pthread_sigmask(SIG_SETMASK, &saved, nullptr);
  ::close(childEnd);
  if (pid < 0) {
    ::close(fds[0]);
    error = std::string("fork: ") + std::strerror(forkErrno);
    return nullptr;
  }
  std::unique_ptr<ExtensionProcess> process(new ExtensionProcess());
  process->pid_ = pid;
  process->socket_ = fds[0];
  process->pidfd_ = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  if (process->pidfd_ >= 0) ::fcntl(process->pidfd_, F_SETFD, FD_CLOEXEC);
  return process;
}

ExtensionProcess::~ExtensionProcess() {
  if (!reap()) {
    ::kill(pid_, SIGKILL);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
  }
  if (pidfd_ >= 0) ::close(pidfd_);
  if (socket_ >= 0) ::close(socket_);
}

int ExtensionProcess::takeSocket() {
  const int fd = socket_;
  socket_ = -1;
  return fd;
}

void ExtensionProcess::signal(int sig) const {
  // Once reaped the id may belong to someone else.
  if (!status_) ::kill(pid_, sig);
}

std::optional<int> ExtensionProcess::reap() {
  if (status_) return status_;
  int status = 0;
  pid_t got;
  while ((got = ::waitpid(pid_, &status, WNOHANG)) < 0 && errno == EINTR) {
  }
  if (got == pid_) status_ = status;
  return status_;
}

}  // namespace pellora::host
