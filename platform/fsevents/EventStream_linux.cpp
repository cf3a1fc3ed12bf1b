#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>

#include "fsevents/EventStream.h"
#include "log/Log.h"

namespace platform::fsevents {
namespace {

constexpr uint32_t kTreeMask = IN_CREATE | IN_DELETE | IN_MODIFY | IN_CLOSE_WRITE | IN_ATTRIB |
                               IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF |
                               IN_ONLYDIR | IN_DONT_FOLLOW | IN_EXCL_UNLINK;

const platform::log::Log& streamLog() {
  static const platform::log::Log log("platform", "fsevents");
  return log;
}

std::string parentOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string nameOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool isUnder(const std::string& path, const std::string& folder) {
  return path == folder ||
         (path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 &&
          path[folder.size()] == '/');
}

}  // namespace

std::unique_ptr<EventStream> EventStream::create(std::string root,
                                                 std::chrono::milliseconds latency,
                                                 Callback callback) {
  const int fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd < 0) return nullptr;
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  return std::unique_ptr<EventStream>(
      new EventStream(fd, std::move(root), latency, std::move(callback)));
}

EventStream::EventStream(int fd, std::string root, std::chrono::milliseconds latency,
                         Callback callback)
    : fd_(fd), root_(std::move(root)), latency_(latency), callback_(std::move(callback)) {}

EventStream::~EventStream() {
  PELLORA_DCHECK_SEQUENCE(sequence_);
  stop();
  ::close(fd_);
}

void EventStream::scheduleWithRunLoop(std::shared_ptr<dispatch::RunLoop> loop) {
  PELLORA_DCHECK_SEQUENCE(sequence_);
  loop_ = std::move(loop);
}

bool EventStream::start() {
  PELLORA_DCHECK_SEQUENCE(sequence_);
  if (started_ || !loop_) return started_;
  watchTree(root_, false);
  if (rootWd_ < 0) return false;
  watch_ = loop_->addWatch(fd_, POLLIN, [this](short) { readEvents(); });
  started_ = true;
  return true;
}

void EventStream::stop() {
  PELLORA_DCHECK_SEQUENCE(sequence_);
  if (!loop_) return;
  if (watch_) loop_->removeWatch(watch_);
  if (timerArmed_) loop_->removeTimer(timer_);
  watch_ = 0;
  timerArmed_ = false;
  started_ = false;
}

void EventStream::flushSync() {
  PELLORA_DCHECK_SEQUENCE(sequence_);
  readEvents();
  deliver();
}

void EventStream::reportWatchLimit() {
  if (limitReported_) return;
  limitReported_ = true;
  long limit = 0;
  std::ifstream("/proc/sys/fs/inotify/max_user_watches") >> limit;
  streamLog().errorf(
      "Out of inotify watches (limit %ld): changes in some folders below %s go unseen. Raise "
      "the limit, for example: sysctl fs.inotify.max_user_watches=%ld",
      limit, root_.c_str(), limit > 0 ? limit * 4 : 524288);
}

void EventStream::watchTree(const std::string& folder, bool rescan) {
  std::vector<std::string> stack{folder};
  while (!stack.empty()) {
    const std::string dir = std::move(stack.back());
    stack.pop_back();
    // Watch before listing, so that an entry made while we list still produces an event.
    const int wd = ::inotify_add_watch(fd_, dir.c_str(), kTreeMask);
    if (wd < 0) {
      if (errno == ENOSPC) reportWatchLimit();
      continue;
    }
    paths_[wd] = dir;
    if (dir == root_) rootWd_ = wd;
    if (rescan) append(Event{dir, kMustScanSubDirs | kItemIsDir});
    DIR* d = ::opendir(dir.c_str());
    if (!d) continue;
    while (dirent* entry = ::readdir(d)) {
      const char* name = entry->d_name;
      if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
      bool isDir = entry->d_type == DT_DIR;
      if (entry->d_type == DT_UNKNOWN) {
        struct stat st {};
        isDir = ::fstatat(::dirfd(d), name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
      }
      if (isDir) stack.push_back(dir + "/" + name);
    }
    ::closedir(d);
  }
}

void EventStream::unwatchTree(const std::string& folder) {
  for (auto it = paths_.begin(); it != paths_.end();) {
    if (!isUnder(it->second, folder)) {
      ++it;
      continue;
    }
    ::inotify_rm_watch(fd_, it->first);
    it = paths_.erase(it);
  }
}

void EventStream::watchParentForRoot() {
  parentWd_ = ::inotify_add_watch(fd_, parentOf(root_).c_str(), IN_CREATE | IN_MOVED_TO | IN_ONLYDIR);
}

void EventStream::rootGone() {
  unwatchTree(root_);
  rootWd_ = -1;
  append(Event{root_, kRootChanged | kItemIsDir});
  watchParentForRoot();
}

void EventStream::overflow() {
  // Anything may have been missed anywhere: every folder is to be scanned again.
  deliver();
  for (const auto& [wd, path] : paths_) {
    if (wd != parentWd_) pending_.push_back(Event{path, kMustScanSubDirs | kKernelDropped | kItemIsDir});
  }
  pendingKind_ = Kind::Rescans;
  deliver();
}

size_t EventStream::watchedFolders() const {
  PELLORA_DCHECK_SEQUENCE(sequence_);
  return paths_.size();
}

void EventStream::readEvents() {
  PELLORA_DCHECK_SEQUENCE(sequence_);
  alignas(inotify_event) char buffer[64 * 1024];
  for (;;) {
    const ssize_t n = ::read(fd_, buffer, sizeof buffer);
    if (n <= 0) return;
    for (ssize_t offset = 0; offset < n;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
      handle(event->wd, event->mask, event->len ? std::string(event->name) : std::string());
      offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
  }
}

void EventStream::handle(int wd, uint32_t mask, const std::string& name) {
  if (mask & IN_Q_OVERFLOW) {
    overflow();
    return;
  }
  if (wd == parentWd_ && wd >= 0) {
    if (name != nameOf(root_) || !(mask & IN_ISDIR)) return;
    ::inotify_rm_watch(fd_, parentWd_);
    parentWd_ = -1;
    watchTree(root_, false);
    append(Event{root_, kRootChanged | kItemIsDir});
    return;
  }
  const auto found = paths_.find(wd);
  if (found == paths_.end()) return;
  const std::string folder = found->second;
  if (mask & IN_IGNORED) {
    paths_.erase(wd);
    if (wd == rootWd_) rootGone();
    return;
  }
  if (mask & (IN_DELETE_SELF | IN_MOVE_SELF)) {
    // A folder below the root is reported by its parent; only the root itself matters here.
    if (wd == rootWd_) rootGone();
    return;
  }
  if (mask & IN_UNMOUNT) return;
  const std::string path = name.empty() ? folder : folder + "/" + name;
  const bool isDir = mask & IN_ISDIR;
  uint32_t flags = isDir ? kItemIsDir : kItemIsFile;
  if (mask & IN_CREATE) flags |= kItemCreated;
  if (mask & IN_DELETE) flags |= kItemRemoved;
  if (mask & (IN_MODIFY | IN_CLOSE_WRITE)) flags |= kItemModified;
  if (mask & IN_ATTRIB) flags |= kItemInodeMetaMod | kItemXattrMod;
  if (mask & (IN_MOVED_FROM | IN_MOVED_TO)) flags |= kItemRenamed;
  append(Event{path, flags});
  if (!isDir) return;
  if (mask & IN_MOVED_FROM) unwatchTree(path);
  // A new folder may have filled before its watch existed.
  if (mask & (IN_CREATE | IN_MOVED_TO)) watchTree(path, true);
}

void EventStream::append(Event event) {
  Kind kind = Kind::Files;
  if (event.flags & (kMustScanSubDirs | kRootChanged)) {
    kind = Kind::Rescans;
  } else if (event.flags & kItemIsDir) {
    kind = Kind::None;  // folder events themselves name no file to refresh
  }
  if (kind != Kind::None && pendingKind_ != Kind::None && pendingKind_ != kind) deliver();
  pending_.push_back(std::move(event));
  if (kind != Kind::None) pendingKind_ = kind;
  if (timerArmed_ || !loop_) return;
  timerArmed_ = true;
  timer_ = loop_->addTimer(latency_, std::chrono::milliseconds(0), [this] {
    timerArmed_ = false;
    deliver();
  });
}

void EventStream::deliver() {
  PELLORA_DCHECK_SEQUENCE(sequence_);
  if (timerArmed_) {
    loop_->removeTimer(timer_);
    timerArmed_ = false;
  }
  if (pending_.empty()) return;
  std::vector<Event> batch;
  batch.swap(pending_);
  pendingKind_ = Kind::None;
  callback_(batch);
}

}  // namespace platform::fsevents
