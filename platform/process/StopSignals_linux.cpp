#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>

#include "process/StopSignals.h"

namespace platform::process {
namespace {

// The write end of the pipe the handler wakes the loop with.
volatile sig_atomic_t gSignalFd = -1;

void onSignal(int) {
  const int fd = gSignalFd;
  if (fd < 0) return;
  const int saved = errno;
  const char byte = 1;
  [[maybe_unused]] const ssize_t n = ::write(fd, &byte, 1);
  errno = saved;
}

}  // namespace

StopSignals::StopSignals(std::shared_ptr<dispatch::RunLoop> loop)
    : loop_(std::move(loop)) {
  if (::pipe2(pipe_, O_CLOEXEC | O_NONBLOCK) != 0) return;
  watch_ = loop_->addWatch(pipe_[0], POLLIN, [this](short) {
    char buffer[64];
    while (::read(pipe_[0], buffer, sizeof buffer) > 0) {
    }
    loop_->stop();
  });
  gSignalFd = pipe_[1];
  struct sigaction sa {};
  sa.sa_handler = onSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  ::sigaction(SIGTERM, &sa, &savedTerm_);
  ::sigaction(SIGINT, &sa, &savedInt_);
}

StopSignals::~StopSignals() {
  if (pipe_[0] < 0) return;
  ::sigaction(SIGTERM, &savedTerm_, nullptr);
  ::sigaction(SIGINT, &savedInt_, nullptr);
  gSignalFd = -1;
  loop_->removeWatch(watch_);
  ::close(pipe_[0]);
  ::close(pipe_[1]);
}

}  // namespace platform::process
