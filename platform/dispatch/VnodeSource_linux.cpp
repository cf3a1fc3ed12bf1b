#include <sys/inotify.h>
#include <unistd.h>

#include "dispatch/VnodeSource.h"

namespace platform::dispatch {
namespace {

uint32_t flagsOf(uint32_t mask) {
  uint32_t flags = 0;
  if (mask & (IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_CLOSE_WRITE | IN_MODIFY)) {
    flags |= VnodeSource::kWrite;
  }
  if (mask & (IN_DELETE_SELF)) flags |= VnodeSource::kDelete;
  if (mask & (IN_MOVE_SELF)) flags |= VnodeSource::kRename;
  if (mask & IN_ATTRIB) flags |= VnodeSource::kAttrib;
  return flags;
}

// Closes the inotify descriptor when the last user (the source's pending handler) lets go.
struct InotifyFd {
  int fd = -1;
  ~InotifyFd() {
    if (fd >= 0) ::close(fd);
  }
};

void drain(const InotifyFd& in, const std::function<void(uint32_t)>& handler) {
  alignas(inotify_event) char buf[16384];
  uint32_t flags = 0;
  for (;;) {
    const ssize_t n = ::read(in.fd, buf, sizeof buf);
    if (n <= 0) break;
    for (ssize_t off = 0; off < n;) {
      const auto* ev = reinterpret_cast<const inotify_event*>(buf + off);
      flags |= flagsOf(ev->mask);
      off += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
    }
  }
  if (flags != 0) handler(flags);
}

}  // namespace

VnodeSource::VnodeSource(const std::string& folder, std::shared_ptr<Queue> queue,
                         std::function<void(uint32_t)> handler) {
  auto in = std::make_shared<InotifyFd>();
  in->fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (in->fd < 0) return;
  watch_ = ::inotify_add_watch(in->fd, folder.c_str(),
                               IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                   IN_CLOSE_WRITE | IN_MODIFY | IN_ATTRIB | IN_DELETE_SELF |
                                   IN_MOVE_SELF | IN_ONLYDIR);
  if (watch_ < 0) return;
  const int fd = in->fd;
  source_ = std::make_unique<FdSource>(
      fd, FdSource::Kind::Read, std::move(queue),
      [in = std::move(in), handler = std::move(handler)] { drain(*in, handler); });
}

VnodeSource::~VnodeSource() { cancel(); }

void VnodeSource::resume() {
  if (source_) source_->resume();
}

void VnodeSource::cancel() {
  if (source_) source_->cancel();
}

}  // namespace platform::dispatch
