#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "dispatch/RunLoop.h"
#include "findersync/ExtensionSession.h"
#include "findersync/Runtime.h"
#include "log/Log.h"
#include "process/StopSignals.h"

namespace platform::findersync {
namespace {

const log::Log& runtimeLog() {
  static const log::Log log("platform", "findersync");
  return log;
}

// The socket Finder handed over, or -1 when the variable is missing or names no socket.
int inheritedSocket() {
  const char* value = std::getenv(kSocketVariable);
  if (!value || !*value) {
    runtimeLog().errorf("%s is not set: this program is an extension and runs under Finder",
                        kSocketVariable);
    return -1;
  }
  const std::string_view text(value);
  int fd = -1;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), fd);
  int type = 0;
  socklen_t length = sizeof type;
  if (ec != std::errc() || end != text.data() + text.size() || fd < 0 ||
      ::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) != 0 || type != SOCK_STREAM) {
    runtimeLog().errorf("%s=%s does not name a connected stream socket", kSocketVariable, value);
    return -1;
  }
  // Programs the extension starts get neither the socket nor the variable.
  ::fcntl(fd, F_SETFD, FD_CLOEXEC);
  ::unsetenv(kSocketVariable);
  return fd;
}

}  // namespace

int runExtension(std::function<std::shared_ptr<FIFinderSync>()> makePrincipal) {
  const int fd = inheritedSocket();
  if (fd < 0) return 2;
  const auto loop = dispatch::RunLoop::main();
  process::StopSignals signals(loop);
  ExtensionSession session(fd, std::move(makePrincipal));
  session.start([loop] {
    runtimeLog().info("Finder closed the connection");
    loop->stop();
  });
  loop->run();
  session.stop();
  return 0;
}

}  // namespace platform::findersync
