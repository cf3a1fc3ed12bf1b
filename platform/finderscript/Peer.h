// Who is at the other end of a Unix socket, as the kernel tells it (SO_PEERCRED) and /proc
// shows the process: never what the peer says about itself.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

namespace platform::finderscript {

struct Peer {
  pid_t pid = 0;
  uid_t uid = 0;
  // The process's executable ("" when it cannot be read).
  std::string executable;
  // The bundle whose Contents/MacOS holds the executable, and its identifier, when there is one.
  std::string bundlePath;
  std::optional<std::string> bundleIdentifier;

  // What decisions about this program are kept under: its bundle identifier, else its
  // executable's path; "" when neither is known.
  std::string identity() const;
};

// The peer of connected socket fd; nothing when the kernel does not tell.
std::optional<Peer> peerOf(int fd);
// The same for a process id (the part that reads /proc).
Peer describeProcess(pid_t pid, uid_t uid);

}  // namespace platform::finderscript
