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

namespace platform::findersync {
namespace {

const log::Log& runtimeLog() {
  static const log::Log log("platform", "findersync");
  return log;
}

// The write end of the pipe the signal handler wakes the main loop with.
volatile sig_atomic_t gSignalFd = -1;

void onStopSignal(int) {
  const int fd = gSignalFd;
  if (fd < 0) return;
  const int saved = errno;
  const char byte = 1;
  [[maybe_unused]] const ssize_t n = ::write(fd, &byte, 1);
  errno = saved;
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

// Routes SIGTERM and SIGINT to the main loop while it exists; restores the old handlers after.
class StopSignals {
 public:
  explicit StopSignals(const std::shared_ptr<dispatch::RunLoop>& loop) : loop_(loop) {
    if (::pipe2(pipe_, O_CLOEXEC | O_NONBLOCK) != 0) return;
    watch_ = loop->addWatch(pipe_[0], POLLIN, [this](short) {
      char buffer[64];
      while (::read(pipe_[0], buffer, sizeof buffer) > 0) {
      }
      runtimeLog().info("Stopping the extension on a signal");
      loop_->stop();
    });
    gSignalFd = pipe_[1];
    struct sigaction sa {};
    sa.sa_handler = onStopSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &sa, &savedTerm_);
    ::sigaction(SIGINT, &sa, &savedInt_);
  }

  ~StopSignals() {
    if (pipe_[0] < 0) return;
    ::sigaction(SIGTERM, &savedTerm_, nullptr);
    ::sigaction(SIGINT, &savedInt_, nullptr);
    gSignalFd = -1;
    loop_->removeWatch(watch_);
    ::close(pipe_[0]);
    ::close(pipe_[1]);
  }

  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

 private:
  std::shared_ptr<dispatch::RunLoop> loop_;
  int pipe_[2] = {-1, -1};
  dispatch::RunLoop::WatchId watch_ = 0;
  struct sigaction savedTerm_ {};
  struct sigaction savedInt_ {};
};

}  // namespace

int runExtension(std::function<std::shared_ptr<FIFinderSync>()> makePrincipal) {
  const int fd = inheritedSocket();
  if (fd < 0) return 2;
  const auto loop = dispatch::RunLoop::main();
  StopSignals signals(loop);
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
