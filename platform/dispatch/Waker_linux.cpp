#include "dispatch/Waker.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

namespace platform::dispatch {

std::unique_ptr<Waker> Waker::create() {
  const int fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (fd < 0) return nullptr;
  return std::unique_ptr<Waker>(new Waker(fd));
}

Waker::~Waker() { ::close(fd_); }

void Waker::wake() const {
  const uint64_t one = 1;
  // A full counter (EAGAIN) is still a pending wake.
  [[maybe_unused]] const ssize_t n = ::write(fd_, &one, sizeof one);
}

void Waker::drain() const {
  uint64_t value = 0;
  [[maybe_unused]] const ssize_t n = ::read(fd_, &value, sizeof value);
}

}  // namespace platform::dispatch
