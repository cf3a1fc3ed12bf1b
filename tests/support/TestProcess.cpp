#include "TestProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace pellora::testing {
namespace {

std::vector<std::string> mergedEnvironment(const std::map<std::string, std::string>& env) {
  std::map<std::string, std::string> all;
  for (char** e = environ; *e; ++e) {
    const std::string entry(*e);
    const size_t eq = entry.find('=');
    if (eq != std::string::npos) all[entry.substr(0, eq)] = entry.substr(eq + 1);
  }
  for (const auto& [k, v] : env) {
    if (v.empty()) all.erase(k); else all[k] = v;
  }
  std::vector<std::string> out;
  for (const auto& [k, v] : all) out.push_back(k + "=" + v);
  return out;
}

pid_t spawn(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
            int outFd) {
  std::vector<std::string> envText = mergedEnvironment(env);
  std::vector<char*> args, envp;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  for (auto& e : envText) envp.push_back(e.data());
  envp.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid != 0) return pid;
  // A process group of its own, so that stop() also reaches its children.
  ::setpgid(0, 0);
  if (outFd >= 0) {
    ::dup2(outFd, STDOUT_FILENO);
    ::dup2(outFd, STDERR_FILENO);
  }
  ::execvpe(args[0], args.data(), envp.data());
  ::_exit(127);
}

bool waitFor(pid_t pid, std::chrono::milliseconds timeout, int* status) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    int raw = 0;
    const pid_t r = ::waitpid(pid, &raw, WNOHANG);
    if (r == pid) {
      if (status) *status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
      return true;
    }
    if (r < 0 || std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

}  // namespace

TestProcess::~TestProcess() {
  if (pid_ > 0) stop(std::chrono::seconds(5));
}

bool TestProcess::start(const std::vector<std::string>& argv,
                        const std::map<std::string, std::string>& env, const std::string& logFile) {
  logFile_ = logFile;
  const int out = ::open(logFile.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  pid_ = spawn(argv, env, out);
  if (out >= 0) ::close(out);
  return pid_ > 0;
}

bool TestProcess::running() {
  if (pid_ <= 0) return false;
  int status = 0;
  if (waitFor(pid_, std::chrono::milliseconds(0), &status)) {
    status_ = status;
    pid_ = -1;
    return false;
  }
  return true;
}

bool TestProcess::waitExit(std::chrono::milliseconds timeout, int* status) {
  if (pid_ <= 0) {
    if (status) *status = status_;
    return true;
  }
  int s = 0;
  if (!waitFor(pid_, timeout, &s)) return false;
  status_ = s;
  pid_ = -1;
  if (status) *status = s;
  return true;
}

int TestProcess::stop(std::chrono::milliseconds timeout) {
  if (pid_ <= 0) return status_;
  ::kill(-pid_, SIGTERM);
  ::kill(pid_, SIGTERM);
  int status = -1;
  if (!waitFor(pid_, timeout, &status)) {
    ::kill(-pid_, SIGKILL);
    ::kill(pid_, SIGKILL);
    waitFor(pid_, std::chrono::seconds(10), &status);
    status = -1;
  }
  // Children left in the group do not outlive the test.
  ::kill(-pid_, SIGKILL);
  pid_ = -1;
  status_ = status;
  return status;
}

std::string TestProcess::log() const {
  std::ifstream in(logFile_);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

int runToEnd(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
             std::string* output, std::chrono::milliseconds timeout) {
  char pattern[] = "/tmp/pellora-run-XXXXXX";
  const int fd = ::mkstemp(pattern);
  const pid_t pid = spawn(argv, env, fd);
  int status = -1;
  if (!waitFor(pid, timeout, &status)) {
    ::kill(pid, SIGKILL);
    waitFor(pid, std::chrono::seconds(5), &status);
    status = -1;
  }
  if (output) {
    std::ifstream in(pattern);
    std::stringstream text;
    text << in.rdbuf();
    *output = text.str();
  }
  ::close(fd);
  ::unlink(pattern);
  return status;
}

}  // namespace pellora::testing
