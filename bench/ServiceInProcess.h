// The service's controller and TCP server in the benchmark's own process, in a temporary home,
// with no shares, no extension monitor and no update check in the way; and a plain client that
// connects the way the extension does.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>

#include "TempDir.h"
#include "core/ShellExtentionController.h"

namespace pellora::bench {

class ServiceInProcess {
 public:
  ServiceInProcess() {
    using namespace std::chrono_literals;
    ControllerSettings settings;
    settings.monitorInterval = 24h;
    settings.updateInterval = 24h;
    settings.pluginTool = "/bin/true";
    settings.mountTable = [] { return std::optional(std::vector<platform::mounts::Mount>{}); };
    settings.processList = [] { return std::vector<platform::process::ProcessInfo>{}; };
    controller_ = std::make_unique<ShellExtentionController>(home_.mkdir("home"), settings);
    controller_->startController();
  }

  int port() const { return controller_->port(); }
  // The opening message, as the extension sends it.
  std::string opening() const { return controller_->key() + "\n"; }

 private:
  testing::TempDir home_;
  std::unique_ptr<ShellExtentionController> controller_;
};

// A blocking loopback connection with TCP_NODELAY, as the extension's socket has; -1 on failure.
inline int connectLoopback(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) < 0) {
    ::close(fd);
    return -1;
  }
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

// Reads frames from fd into buffer until count frames ended by CR LF were consumed; the
// frames' text (without CR LF) is appended to frames when given. False on error or close.
inline bool readFrames(int fd, std::string& buffer, size_t count, std::string* frames = nullptr) {
  while (count > 0) {
    const size_t end = buffer.find("\r\n");
    if (end != std::string::npos) {
      if (frames) frames->append(buffer, 0, end);
      buffer.erase(0, end + 2);
      --count;
      continue;
    }
    char chunk[65536];
    const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0) return false;
    buffer.append(chunk, static_cast<size_t>(n));
  }
  return true;
}

inline bool sendAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

}  // namespace pellora::bench
