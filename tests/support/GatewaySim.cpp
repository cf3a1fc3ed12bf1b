#include "GatewaySim.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

#include "Wait.h"
#include "mounts/Mounts.h"

#ifndef PELLORA_GATEWAY_SIM_PATH
#define PELLORA_GATEWAY_SIM_PATH "gateway-sim"
#endif

namespace pellora::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::string chooseBinary(const std::string& given) {
  if (!given.empty()) return given;
  if (const char* env = std::getenv("PELLORA_GATEWAY_SIM"); env && *env) return env;
  return PELLORA_GATEWAY_SIM_PATH;
}

// The program's full path from PATH (the child may only call execv), or name itself.
std::string inPath(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::stringstream folders(path ? path : "/usr/bin:/bin");
  for (std::string folder; std::getline(folders, folder, ':');) {
    const std::string candidate = folder + "/" + name;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return name;
}

std::string contentOf(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void writeFile(const std::string& path, const std::string& content) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

// Starts argv[0] with stdout and stderr going to outputFd. With dieWithParent the child gets
// SIGTERM when the calling thread ends.
pid_t spawn(const std::vector<std::string>& args, int outputFd, bool dieWithParent) {
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid != 0) return pid;
  // The child: only async-signal-safe calls until exec.
  if (dieWithParent) {
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != parent) ::_exit(126);
  }
  if (outputFd >= 0) {
    ::dup2(outputFd, STDOUT_FILENO);
    ::dup2(outputFd, STDERR_FILENO);
  }
  ::execv(argv[0], argv.data());
  ::_exit(127);
}

// Runs a program to its end; its exit status or -1 (killed at the deadline, or not started).
int runToEnd(const std::vector<std::string>& args, const std::string& outputPath,
             std::chrono::milliseconds timeout) {
  const int out = ::open(outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  const pid_t pid = spawn(args, out, false);
  if (out >= 0) ::close(out);
  if (pid < 0) return -1;
  int status = 0;
  const bool ended = waitUntil([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, timeout);
  if (!ended) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string controlRequest(const std::string& socketPath, const std::string& line) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (socketPath.size() >= sizeof addr.sun_path) return "error: socket path too long";
  std::memcpy(addr.sun_path, socketPath.c_str(), socketPath.size() + 1);
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return std::string("error: socket: ") + std::strerror(errno);
  // A download can take a while; a hung simulator must not hang the test.
  timeval tv{60, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  std::string reply;
  const std::string request = line + "\n";
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) !=
          static_cast<ssize_t>(request.size())) {
    reply = std::string("error: ") + std::strerror(errno);
    ::close(fd);
    return reply;
  }
  for (;;) {
    char buf[4096];
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      reply = "error: no answer";
      break;
    }
    reply.append(buf, static_cast<size_t>(n));
    if (const size_t nl = reply.find('\n'); nl != std::string::npos) {
      reply.resize(nl);
      break;
    }
  }
  ::close(fd);
  return reply;
}

}  // namespace

GatewaySim::GatewaySim() : GatewaySim(Options{}) {}

GatewaySim::GatewaySim(Options options)
    : options_(std::move(options)), binary_(chooseBinary(options_.binary)) {
  // The simulator mounts on the resolved path; mountinfo shows that one.
  const std::string root = fs::canonical(dir_.path()).string();
  backing_ = root + "/backing";
  cloud_ = root + "/cloud";
  mountPoint_ = root + "/mnt";
  controlSocket_ = root + "/control.sock";
  logPath_ = root + "/gateway-sim.log";
  for (const auto& folder : {backing_, cloud_, mountPoint_}) fs::create_directories(folder);
}

GatewaySim::~GatewaySim() {
  const bool running = pid_ > 0;
  const int status = stopProcess(10s);
  if (running && !(status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0)) {
    std::cerr << "gateway-sim did not end cleanly (wait status " << status << "); its log:\n"
              << log() << "\n";
  }
  unmountLeftovers();
}

std::string GatewaySim::path(const std::string& rel) const { return mountPoint_ + "/" + rel; }

std::string GatewaySim::addFolder(const std::string& rel) {
  fs::create_directories(backing_ + "/" + rel);
  fs::create_directories(cloud_ + "/" + rel);
  return path(rel);
}

std::string GatewaySim::addStub(const std::string& rel, const std::string& content) {
  writeFile(backing_ + "/" + rel, "");
  writeFile(cloud_ + "/" + rel, content);
  setAttribute(rel, "is.zavro.stub", "ZAVRO");
  return path(rel);
}

std::string GatewaySim::addOnline(const std::string& rel, const std::string& content) {
  writeFile(backing_ + "/" + rel, content);
  writeFile(cloud_ + "/" + rel, content);
  ::removexattr((backing_ + "/" + rel).c_str(), "user.is.zavro.stub");
  return path(rel);
}

bool GatewaySim::setAttribute(const std::string& rel, const std::string& name,
                              const std::string& value) {
  const std::string file = rel.empty() ? backing_ : backing_ + "/" + rel;
  return ::lsetxattr(file.c_str(), ("user." + name).c_str(), value.data(), value.size(), 0) == 0;
}

bool GatewaySim::populate(int folders, int stubs, size_t size, int online) {
  std::string output;
  const int rc = run({"populate", "--backing", backing_, "--cloud", cloud_, "--folders",
                      std::to_string(folders), "--stubs", std::to_string(stubs), "--size",
                      std::to_string(size), "--online", std::to_string(online)},
                     &output);
  if (rc != 0) std::cerr << "gateway-sim populate failed (" << rc << "):\n" << output;
  return rc == 0;
}

int GatewaySim::run(const std::vector<std::string>& args, std::string* output,
                    std::chrono::milliseconds timeout) const {
  std::vector<std::string> argv{binary_};
  argv.insert(argv.end(), args.begin(), args.end());
  const std::string outputPath = fs::path(logPath_).parent_path() / "run.out";
  const int rc = runToEnd(argv, outputPath, timeout);
  if (output) *output = contentOf(outputPath);
  return rc;
}

bool GatewaySim::mount(std::chrono::milliseconds timeout) {
  if (pid_ > 0) return false;
  std::vector<std::string> args{binary_,        "mount",
                                "--backing",    backing_,
                                "--cloud",      cloud_,
                                "--mountpoint", mountPoint_,
                                "--source",     options_.source,
                                "--control",    controlSocket_,
                                "--latency-ms", std::to_string(options_.latencyMs)};
  if (!options_.shareMarker) args.push_back("--no-share-marker");
  const int logFd = ::open(logPath_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  pid_ = spawn(args, logFd, true);
  if (logFd >= 0) ::close(logFd);
  if (pid_ < 0) return false;
  int status = 0;
  bool exited = false;
  const bool mounted = waitUntil(
      [&] {
        exited = reaped(&status);
        return exited || isMounted();
      },
      timeout);
  if (mounted && !exited) return true;
  std::cerr << "gateway-sim did not mount " << mountPoint_ << "; its log:\n" << log() << "\n";
  stopProcess(5s);
  return false;
}

bool GatewaySim::unmount(std::chrono::milliseconds timeout) {
  if (pid_ <= 0) return false;
  const int status = stopProcess(timeout);
  const bool gone = waitUntil([&] { return !isMounted(); }, timeout);
  return gone && status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool GatewaySim::isMounted() const {
  const auto mounts = platform::mounts::listMounts();
  if (!mounts) return false;
  for (const auto& m : *mounts) {
    if (m.mountPoint == mountPoint_) return true;
  }
  return false;
}

std::string GatewaySim::log() const { return contentOf(logPath_); }

std::string GatewaySim::command(const std::string& line) {
  return controlRequest(controlSocket_, line);
}

bool GatewaySim::setLatency(int ms) { return command("latency " + std::to_string(ms)) == "ok"; }
bool GatewaySim::setSlow(int ms) { return command("slow " + std::to_string(ms)) == "ok"; }
bool GatewaySim::fail(const std::string& rel, int digit) {
  return command("fail " + rel + " " + std::to_string(digit)) == "ok";
}
bool GatewaySim::deny(const std::string& rel) { return command("deny " + rel) == "ok"; }

bool GatewaySim::unreadable(const std::string& rel) {
  return command("unreadable " + rel) == "ok";
}
bool GatewaySim::outage(const std::string& rel, const std::string& errnoName) {
  return command("outage " + rel + " " + errnoName) == "ok";
}
bool GatewaySim::clear() { return command("clear") == "ok"; }
bool GatewaySim::resetCounters() { return command("reset") == "ok"; }

nlohmann::json GatewaySim::counters() {
  const std::string answer = command("counters");
  return nlohmann::json::parse(answer, nullptr, /*allow_exceptions=*/false);
}

bool GatewaySim::reaped(int* status) {
  if (pid_ <= 0) return true;
  if (::waitpid(pid_, status, WNOHANG) != pid_) return false;
  pid_ = -1;
  return true;
}

int GatewaySim::stopProcess(std::chrono::milliseconds timeout) {
  if (pid_ <= 0) return -1;
  int status = -1;
  ::kill(pid_, SIGTERM);
  if (!waitUntil([&] { return reaped(&status); }, timeout)) {
    std::cerr << "gateway-sim did not end on SIGTERM; killing it\n";
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
  }
  return status;
}

void GatewaySim::unmountLeftovers() {
  if (!isMounted()) return;
  const std::string out = fs::path(logPath_).parent_path() / "fusermount.out";
  if (runToEnd({inPath("fusermount3"), "-u", "-z", mountPoint_}, out, 20s) != 0) {
    ::umount2(mountPoint_.c_str(), MNT_DETACH);
  }
}

}  // namespace pellora::testing
