#include "Finder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "FolderPaths.h"
#include "dispatch/Queue.h"
#include "dispatch/VnodeSource.h"
#include "log/Log.h"

namespace pellora::finder {

using host::childOf;
using host::listItems;
using host::normalPath;

namespace {

const platform::log::Log& finderLog() {
  static const platform::log::Log log("com.zavro.Pellora", "Finder");
  return log;
}

// A preview is drawn from the start of a file's content. True when path is a file whose first
// bytes could be read (an empty file counts: there is nothing more to read).
bool makePreview(const std::string& path) {
  // Non-blocking: a FIFO among the items must not hold Finder.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return false;
  struct stat st {};
  bool made = false;
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    // A file is read as any reader would, waiting for its content.
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    char head[512];
    ssize_t got;
    while ((got = ::read(fd, head, sizeof head)) < 0 && errno == EINTR) {
    }
    made = got >= 0;
    if (!made) finderLog().errorf("No preview of %s: %s", path.c_str(), std::strerror(errno));
  }
  ::close(fd);
  return made;
}

}  // namespace

struct Finder::Window {
  std::vector<std::string> items;
  std::unique_ptr<platform::dispatch::VnodeSource> watch;
};

struct Finder::BadgeWaiter {
  std::string path;
  std::string badge;
  std::function<void(bool)> done;
  host::HostLoop::TimerId timer = 0;
};

Finder::Finder(host::HostLoop& loop) : loop_(loop), host_(loop, *this) {}

Finder::~Finder() {
  for (const auto& [id, waiter] : waiters_) loop_.removeTimer(waiter->timer);
  // Folder watches cancel and channels close as their owners go; nothing they posted runs after.
}

bool Finder::open(const std::string& folder, std::string& error) {
  PELLORA_DCHECK_SEQUENCE(sequence_);
  const std::string f = normalPath(folder);
  auto items = listItems(f);
  if (!items) {
    error = f + ": not a folder";
    return false;
  }
  if (windows_.count(f)) return true;
  auto window = std::make_unique<Window>();
  window->items = std::move(*items);
  window->watch = std::make_unique<platform::dispatch::VnodeSource>(
      f, platform::dispatch::mainQueue(), [this, f](uint32_t) { rescan(f); });
  window->watch->resume();
  windows_[f] = std::move(window);
  host_.show(f);
  return true;
}

bool Finder::close(const std::string& folder, std::string& error) {
  PELLORA_DCHECK_SEQUENCE(sequence_);
  const std::string f = normalPath(folder);
  const auto it = windows_.find(f);
  if (it == windows_.end()) {
    error = f + ": no window is open on it";
    return false;
  }
  windows_.erase(it);
  host_.hide(f);
  return true;
}

std::vector<std::string> Finder::openFolders() const {
  std::vector<std::string> out;
  for (const auto& [folder, window] : windows_) out.push_back(folder);
  return out;
}

void Finder::rescan(const std::string& folder) {
  const auto it = windows_.find(folder);
  if (it == windows_.end()) return;
  auto items = listItems(folder);
  if (!items) {
    // The folder went away: so does its window.
    std::string ignored;
    close(folder, ignored);
    return;
  }
  std::vector<std::string> added, removed;
  const auto& old = it->second->items;
  std::set_difference(items->begin(), items->end(), old.begin(), old.end(),
                      std::back_inserter(added));
  std::set_difference(old.begin(), old.end(), items->begin(), items->end(),
                      std::back_inserter(removed));
  it->second->items = std::move(*items);
  for (const auto& name : removed) host_.itemRemoved(childOf(folder, name));
  for (const auto& name : added) host_.requestBadge(childOf(folder, name));
}

std::optional<std::vector<ListedItem>> Finder::list(const std::string& folder) {
  PELLORA_DCHECK_SEQUENCE(sequence_);
  const std::string f = normalPath(folder);
  const auto items = listItems(f);
  if (!items) return std::nullopt;
  const bool previews = viewOptions_.showsPreviews(f);
  std::vector<ListedItem> out;
  for (const auto& name : *items) {
    const std::string path = childOf(f, name);
    if (previews && makePreview(path)) ++previewsMade_;
    out.push_back({host_.badgeOf(path), name});
  }
  return out;
}

void Finder::select(std::vector<std::string> paths) {
  PELLORA_DCHECK_SEQUENCE(sequence_);
  host_.sendSelection(std::move(paths));
}

void Finder::menu(platform::findersync::MenuKind kind, MenuDone done) {
  PELLORA_DCHECK_SEQUENCE(sequence_);
  // The host answers on the loop, while it (and so this Finder) is there.
  host_.menu(kind, host_.selection(), menuTimeout_,
             [this, done = std::move(done)](std::vector<host::MenuChoice> items) {
               shown_ = items;
               done(std::move(items));
             });
}

std::optional<std::string> Finder::click(size_t index, std::string& error) {
  PELLORA_DCHECK_SEQUENCE(sequence_);
  if (shown_.empty()) {
    error = "no menu is shown";
    return std::nullopt;
  }
  if (index >= shown_.size()) {
    error = "the menu has no item " + std::to_string(index) + " (it has " +
            std::to_string(shown_.size()) + ")";
    return std::nullopt;
  }
  const host::MenuChoice& item = shown_[index];
  if (!item.entry.enabled) {
    error = "item " + std::to_string(index) + " (" + item.entry.title + ") is disabled";
    return std::nullopt;
  }
  if (!host_.click(item, error)) return std::nullopt;
  return item.entry.title;
}

void Finder::waitBadge(const std::string& path, const std::string& badge,
                       std::chrono::milliseconds timeout, std::function<void(bool)> done) {
  PELLORA_DCHECK_SEQUENCE(sequence_);
  const std::string p = normalPath(path);
  if (host_.badgeOf(p) == badge) {
    done(true);
    return;
  }
  const uint64_t id = nextWaiter_++;
  auto waiter = std::make_unique<BadgeWaiter>();
  waiter->path = p;
  waiter->badge = badge;
  waiter->done = std::move(done);
  waiter->timer = loop_.addTimer(timeout, host::HostLoop::Clock::duration::zero(), [this, id] {
    const auto it = waiters_.find(id);
    if (it == waiters_.end()) return;
    auto w = std::move(it->second);
    waiters_.erase(it);
    w->done(false);
  });
  waiters_[id] = std::move(waiter);
}

void Finder::badgeChanged(const std::string& path) {
  std::vector<std::unique_ptr<BadgeWaiter>> ready;
  for (auto it = waiters_.begin(); it != waiters_.end();) {
    if (it->second->path == path && host_.badgeOf(path) == it->second->badge) {
      ready.push_back(std::move(it->second));
      it = waiters_.erase(it);
    } else {
      ++it;
    }
  }
  for (auto& w : ready) {
    loop_.removeTimer(w->timer);
    w->done(true);
  }
}

}  // namespace pellora::finder
