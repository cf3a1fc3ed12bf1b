#include <sys/socket.h>

#include <filesystem>

#include "bundle/Bundle.h"
#include "finderscript/Peer.h"

namespace platform::finderscript {

std::string Peer::identity() const {
  if (bundleIdentifier && !bundleIdentifier->empty()) return *bundleIdentifier;
  return executable;
}

std::optional<Peer> peerOf(int fd) {
  ucred cred{};
  socklen_t size = sizeof cred;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &size) != 0 || cred.pid <= 0) {
    return std::nullopt;
  }
  return describeProcess(cred.pid, cred.uid);
}

Peer describeProcess(pid_t pid, uid_t uid) {
  Peer peer;
  peer.pid = pid;
  peer.uid = uid;
  std::error_code ec;
  std::string exe = std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/exe", ec);
  if (ec) return peer;
  // A program replaced on disk while it runs is still that program.
  constexpr std::string_view deleted = " (deleted)";
  if (exe.size() > deleted.size() && exe.compare(exe.size() - deleted.size(), deleted.size(), deleted) == 0) {
    exe.resize(exe.size() - deleted.size());
  }
  peer.executable = exe;
  if (const auto bundle = bundle::Bundle::containing(exe)) {
    peer.bundlePath = bundle->path();
    peer.bundleIdentifier = bundle->bundleIdentifier();
  }
  return peer;
}

}  // namespace platform::finderscript
