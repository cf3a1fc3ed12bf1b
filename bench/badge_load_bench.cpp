// Many extensions asking for badges at once: 50 clients, each in a process of its own as every
// extension is, connect to the controller's server in this process and then all at once send
// 1,000 "getFileIconId" requests each, one after the other, each waiting for its answer. Prints
// p50 / p99 / max of the round trips, the requests per second and the errors, beside the goal
// (p99 <= 10 ms, max <= 50 ms, no error), and the same clients against a raw server measured in
// the same run: a thread per client that reads a line, calls getxattr and writes a fixed answer.
#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <sys/xattr.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <new>
#include <nlohmann/json.hpp>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "ServiceInProcess.h"
#include "TempDir.h"
#include "xattr/Xattr.h"

namespace {

using Clock = std::chrono::steady_clock;
using pellora::testing::TempDir;

constexpr int kMaxClients = 64;
constexpr int kMaxRequests = 1000;
constexpr int kPhases = 2;  // the raw server, then ours

struct Shared {
  int port[kPhases];
  char opening[kPhases][64];
  std::atomic<int> turn[kPhases];  // connections are made one after the other
  std::atomic<int> opened[kPhases];
  std::atomic<int> done[kPhases];
  std::atomic<int> errors[kPhases];
  // Round trips in microseconds.
  float micros[kPhases][kMaxClients][kMaxRequests];
  int64_t endNanos[kPhases][kMaxClients];
};

struct Pipe {
  int read = -1, write = -1;
};

Pipe makePipe() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) std::abort();
  return {fds[0], fds[1]};
}

// Blocks until the other side closes its end.
void waitClosed(int fd) {
  char c;
  while (::read(fd, &c, 1) != 0) {
  }
}

int64_t nowNanos() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
      .count();
}

void runClient(Shared& shared, int index, int requests, const std::vector<std::string>& lines,
               const Pipe setup[], const Pipe go[]) {
  for (int phase = 0; phase < kPhases; ++phase) {
    waitClosed(setup[phase].read);
    while (shared.turn[phase].load() != index) {
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    const int fd = pellora::bench::connectLoopback(shared.port[phase]);
    std::string buffer;
    const bool opened = fd >= 0 && pellora::bench::sendAll(fd, shared.opening[phase]) &&
                        pellora::bench::readFrames(fd, buffer, 2);
    if (!opened) ++shared.errors[phase];
    ++shared.opened[phase];
    ++shared.turn[phase];
    waitClosed(go[phase].read);
    for (int i = 0; opened && i < requests; ++i) {
      const std::string& line = lines[(static_cast<size_t>(index) * 7 + i) % lines.size()];
      std::string answer;
      const auto start = Clock::now();
      const bool ok =
          pellora::bench::sendAll(fd, line) && pellora::bench::readFrames(fd, buffer, 1, &answer);
      shared.micros[phase][index][i] =
          std::chrono::duration<float, std::micro>(Clock::now() - start).count();
      if (!ok || answer.find("FileIcon") == std::string::npos) {
        ++shared.errors[phase];
        break;
      }
    }
    shared.endNanos[phase][index] = nowNanos();
    if (fd >= 0) ::close(fd);
    ++shared.done[phase];
  }
}

// The baseline: what any server must do per request, and nothing else.
class RawServer {
 public:
  RawServer() {
    listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (::bind(listen_, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
        ::listen(listen_, SOMAXCONN) != 0 ||
        ::getsockname(listen_, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
      std::abort();
    }
    port_ = ntohs(address.sin_port);
    acceptor_ = std::thread([this] {
      for (;;) {
        const int fd = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) return;
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        clients_.emplace_back([fd] { serve(fd); });
      }
    });
  }
  ~RawServer() {
    ::shutdown(listen_, SHUT_RDWR);
    acceptor_.join();
    for (auto& t : clients_) t.join();
    ::close(listen_);
  }
  int port() const { return port_; }

 private:
  static void serve(int fd) {
    char buffer[1024];
    std::string text;
    bool first = true;
    while (true) {
      const ssize_t n = ::recv(fd, buffer, sizeof buffer - 1, 0);
      if (n <= 0) break;
      text.append(buffer, static_cast<size_t>(n));
      if (first) {
        first = false;
        text.clear();
        pellora::bench::sendAll(fd, "\r\n\r\n");
        continue;
      }
      if (text.find('\n') == std::string::npos) continue;
      const size_t start = text.find("\"value\":\"") + 9;
      const std::string path = text.substr(start, text.find('"', start) - start);
      char value[256];
      const bool stub = ::getxattr(path.c_str(), "user.is.zavro.stub", value, sizeof value) == 5;
      const std::string answer = "{\"command\":\"setFileIcons\",\"value\":{\"" + path + "\":\"" +
                                 (stub ? "FileIconCache" : "FileIconNone") + "\"}}\r\n";
      pellora::bench::sendAll(fd, answer);
      text.clear();
    }
    ::close(fd);
  }

  int listen_ = -1;
  int port_ = 0;
  std::thread acceptor_;
  std::vector<std::thread> clients_;
};

struct Figures {
  double p50 = 0, p99 = 0, max = 0, perSecond = 0;
  int errors = 0;
};

Figures figures(const Shared& shared, int phase, int clients, int requests, int64_t start) {
  std::vector<float> all;
  int64_t end = start;
  for (int c = 0; c < clients; ++c) {
    all.insert(all.end(), shared.micros[phase][c], shared.micros[phase][c] + requests);
    end = std::max(end, shared.endNanos[phase][c]);
  }
  std::sort(all.begin(), all.end());
  Figures f;
  f.p50 = all[all.size() / 2] / 1000.0;
  f.p99 = all[all.size() * 99 / 100] / 1000.0;
  f.max = all.back() / 1000.0;
  f.perSecond = static_cast<double>(all.size()) / (static_cast<double>(end - start) / 1e9);
  f.errors = shared.errors[phase].load();
  return f;
}

void waitFor(const std::atomic<int>& counter, int value) {
  while (counter.load() < value) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

}  // namespace

int main(int argc, char** argv) {
  const bool smoke = pellora::bench::smokeRun(argc, argv);
  const int clients = smoke ? 8 : 50;
  const int requests = smoke ? 100 : 1000;
  // Up to here, and while the clients are forked, this process has one thread.
  TempDir dir;
  std::vector<std::string> lines;
  for (int i = 0; i < 1000; ++i) {
    const std::string path = dir.write("share/" + std::to_string(i) + ".bin");
    if (i % 2 == 0) platform::xattr::set(path, "is.zavro.stub", "ZAVRO", 5, 0, 0);
    lines.push_back(nlohmann::json({{"command", "getFileIconId"}, {"value", path}}).dump() +
                    "\r\n");
  }
  void* memory =
      ::mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) return 2;
  auto& shared = *new (memory) Shared{};
  Pipe setup[kPhases] = {makePipe(), makePipe()};
  Pipe go[kPhases] = {makePipe(), makePipe()};
  std::vector<pid_t> children;
  std::fflush(stdout);
  for (int c = 0; c < clients; ++c) {
    const pid_t pid = ::fork();
    if (pid == 0) {
      for (int p = 0; p < kPhases; ++p) {
        ::close(setup[p].write);
        ::close(go[p].write);
      }
      runClient(shared, c, requests, lines, setup, go);
      ::_exit(0);
    }
    children.push_back(pid);
  }

  Figures result[kPhases];
  for (int phase = 0; phase < kPhases; ++phase) {
    std::unique_ptr<RawServer> raw;
    std::unique_ptr<pellora::bench::ServiceInProcess> service;
    if (phase == 0) {
      raw = std::make_unique<RawServer>();
      shared.port[phase] = raw->port();
      std::snprintf(shared.opening[phase], sizeof shared.opening[phase], "{key}\n");
    } else {
      service = std::make_unique<pellora::bench::ServiceInProcess>();
      shared.port[phase] = service->port();
      std::snprintf(shared.opening[phase], sizeof shared.opening[phase], "%s",
                    service->opening().c_str());
    }
    ::close(setup[phase].write);
    waitFor(shared.opened[phase], clients);
    const int64_t start = nowNanos();
    ::close(go[phase].write);
    waitFor(shared.done[phase], clients);
    result[phase] = figures(shared, phase, clients, requests, start);
  }
  for (const pid_t pid : children) ::waitpid(pid, nullptr, 0);

  const Figures& raw = result[0];
  const Figures& ours = result[1];
  std::printf("%d clients in processes of their own, %d badge requests each, at once\n", clients,
              requests);
  std::printf("%-8s %10s %10s %10s %12s %8s\n", "", "p50 ms", "p99 ms", "max ms", "requests/s",
              "errors");
  std::printf("%-8s %10.2f %10.2f %10.2f %12.0f %8d\n", "raw", raw.p50, raw.p99, raw.max,
              raw.perSecond, raw.errors);
  std::printf("%-8s %10.2f %10.2f %10.2f %12.0f %8d\n", "ours", ours.p50, ours.p99, ours.max,
              ours.perSecond, ours.errors);
  std::printf("%-8s %10s %10s %10s %12s %8s\n", "goal", "", "<= 10", "<= 50", "", "0");
  std::printf("ratio to raw: p50 %.2fx, p99 %.2fx, max %.2fx, requests/s %.2fx\n",
              ours.p50 / raw.p50, ours.p99 / raw.p99, ours.max / raw.max,
              ours.perSecond / raw.perSecond);
  std::printf("goal met: %s\n",
              ours.p99 <= 10 && ours.max <= 50 && ours.errors == 0 ? "yes" : "NO");
  return raw.errors == 0 && ours.errors == 0 ? 0 : 1;
}
