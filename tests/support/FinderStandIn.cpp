#include "FinderStandIn.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

#include "Wait.h"
#include "process/Process.h"

#ifndef PELLORA_FINDER_PATH
#define PELLORA_FINDER_PATH "finder"
#endif
#ifndef PELLORA_PLUGINKIT_PATH
#define PELLORA_PLUGINKIT_PATH "pluginkit"
#endif

extern char** environ;

namespace pellora::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::string choose(const std::string& given, const char* variable, const char* built) {
  if (!given.empty()) return given;
  if (const char* env = std::getenv(variable); env && *env) return env;
  return built;
}

std::string contentOf(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// Variables of the caller's session that must not leak into the test's processes.
bool isPrivate(const std::string& assignment) {
  for (const char* name : {"HOME=", "XDG_CONFIG_HOME=", "XDG_DATA_HOME=", "XDG_CACHE_HOME=",
                           "XDG_RUNTIME_DIR=", "PELLORA_FINDER_SOCKET=", "PELLORA_FINDERSYNC_FD=",
                           "PELLORA_LOG=", "PELLORA_USER_DB_HOME="}) {
    if (assignment.rfind(name, 0) == 0) return true;
  }
  return false;
}

// Starts binary with args and env, stdout and stderr into the files given. With
// dieWithParent the child gets SIGTERM when the calling thread ends.
pid_t spawn(const std::string& binary, const std::vector<std::string>& args,
            const std::vector<std::string>& env, const std::string& outPath,
            const std::string& errPath, bool dieWithParent) {
  std::vector<char*> argv{const_cast<char*>(binary.c_str())};
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  const int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  const int err = errPath == outPath
                      ? out
                      : ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid == 0) {
    // Only async-signal-safe calls until exec.
    if (dieWithParent) {
      ::prctl(PR_SET_PDEATHSIG, SIGTERM);
      if (::getppid() != parent) ::_exit(126);
    }
    ::dup2(out, STDOUT_FILENO);
    ::dup2(err, STDERR_FILENO);
    ::execve(argv[0], argv.data(), envp.data());
    ::_exit(127);
  }
  if (out >= 0) ::close(out);
  if (err >= 0 && err != out) ::close(err);
  return pid;
}

}  // namespace

FinderStandIn::FinderStandIn() : FinderStandIn(Options{}) {}

FinderStandIn::FinderStandIn(Options options)
    : root_(fs::canonical(dir_.path()).string()),
      binary_(choose(options.binary, "PELLORA_FINDER", PELLORA_FINDER_PATH)),
      pluginkit_(choose(options.pluginkit, "PELLORA_PLUGINKIT", PELLORA_PLUGINKIT_PATH)),
      previews_(options.previews) {
  for (const auto& folder : {home(), config(), data()}) fs::create_directories(folder);
}

FinderStandIn::~FinderStandIn() {
  if (pid_ > 0) {
    // Learn which extensions run before Finder goes, to check on them after.
    const Result listed = run({"extensions"}, 2s);
    std::stringstream lines(listed.out);
    for (std::string line; std::getline(lines, line);) {
      std::stringstream fields(line);
      std::string id, state, pid;
      if (std::getline(fields, id, '\t') && std::getline(fields, state, '\t') &&
          std::getline(fields, pid, '\t') && pid != "-") {
        remember(static_cast<pid_t>(std::atoi(pid.c_str())));
      }
    }
    stop(10s);
  }
  for (const auto& [pid, name] : extensions_) {
    const auto info = platform::process::processInfo(pid);
    if (info && info->name == name) {
      std::cerr << "extension process " << pid << " (" << name << ") outlived Finder; killing it\n";
      ::kill(pid, SIGKILL);
    }
  }
}

void FinderStandIn::setEnv(const std::string& name, const std::string& value) {
  env_[name] = value;
}

std::vector<std::string> FinderStandIn::environment() const {
  std::vector<std::string> env;
  for (char** e = environ; e && *e; ++e) {
    const std::string assignment = *e;
    const std::string name = assignment.substr(0, assignment.find('='));
    if (!isPrivate(assignment) && !env_.count(name)) env.push_back(assignment);
  }
  env.push_back("HOME=" + home());
  env.push_back("XDG_CONFIG_HOME=" + config());
  env.push_back("XDG_DATA_HOME=" + data());
  env.push_back("PELLORA_USER_DB_HOME=" + home());
  env.push_back("PELLORA_LOG=stderr");
  for (const auto& [name, value] : env_) env.push_back(name + "=" + value);
  return env;
}

bool FinderStandIn::start(std::chrono::milliseconds timeout) {
  if (pid_ > 0) return false;
  const std::string logPath = root_ + "/finder.log";
  std::vector<std::string> args{"serve"};
  if (!previews_) args.push_back("--no-previews");
  pid_ = spawn(binary_, args, environment(), logPath, logPath, true);
  if (pid_ < 0) return false;
  int status = 0;
  bool exited = false;
  const bool up = waitUntil(
      [&] {
        exited = ended(&status);
        return exited || run({"windows"}, 1s).status == 0;
      },
      timeout);
  if (up && !exited) return true;
  std::cerr << "finder serve did not come up; its log:\n" << log() << "\n";
  stop(5s);
  return false;
}

bool FinderStandIn::ended(int* status) {
  if (pid_ <= 0) return true;
  int s = 0;
  if (::waitpid(pid_, &s, WNOHANG) != pid_) return false;
  pid_ = -1;
  if (status) *status = s;
  return true;
}

bool FinderStandIn::stop(std::chrono::milliseconds timeout) {
  if (pid_ <= 0) return false;
  int status = -1;
  ::kill(pid_, SIGTERM);
  if (!waitUntil([&] { return ended(&status); }, timeout)) {
    std::cerr << "finder serve did not end on SIGTERM; killing it\n";
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return false;
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::string FinderStandIn::log() const { return contentOf(root_ + "/finder.log"); }

FinderStandIn::Result FinderStandIn::runToEnd(const std::string& binary,
                                              const std::vector<std::string>& args,
                                              std::chrono::milliseconds timeout) {
  const std::string base = root_ + "/run." + std::to_string(++runs_);
  const pid_t pid = spawn(binary, args, environment(), base + ".out", base + ".err", false);
  Result result;
  if (pid < 0) return result;
  int status = 0;
  if (!waitUntil([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, timeout)) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    status = -1;
  }
  result.status = status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  result.out = contentOf(base + ".out");
  result.err = contentOf(base + ".err");
  fs::remove(base + ".out");
  fs::remove(base + ".err");
  return result;
}

FinderStandIn::Result FinderStandIn::run(const std::vector<std::string>& args,
                                         std::chrono::milliseconds timeout) {
  std::vector<std::string> all{"--socket", socket()};
  all.insert(all.end(), args.begin(), args.end());
  return runToEnd(binary_, all, timeout);
}

FinderStandIn::Result FinderStandIn::pluginkit(const std::vector<std::string>& args,
                                               std::chrono::milliseconds timeout) {
  return runToEnd(pluginkit_, args, timeout);
}

pid_t FinderStandIn::extensionPid(const std::string& identifier) {
  std::stringstream lines(run({"extensions"}).out);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind(identifier + "\t", 0) != 0) continue;
    std::stringstream fields(line);
    std::string id, state, pid;
    std::getline(fields, id, '\t');
    std::getline(fields, state, '\t');
    std::getline(fields, pid, '\t');
    if (pid == "-") return 0;
    const pid_t value = static_cast<pid_t>(std::atoi(pid.c_str()));
    remember(value);
    return value;
  }
  return 0;
}

void FinderStandIn::remember(pid_t pid) {
  if (pid <= 0 || extensions_.count(pid)) return;
  if (const auto info = platform::process::processInfo(pid)) extensions_[pid] = info->name;
}

}  // namespace pellora::testing
