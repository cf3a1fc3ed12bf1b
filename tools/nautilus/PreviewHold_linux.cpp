#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include "FolderPaths.h"
#include "PreviewHold.h"
#include "ZVFileManager.h"
#include "log/Log.h"

namespace pellora::nautilus {

namespace {

const platform::log::Log& previewLog() {
  static const platform::log::Log log("com.zavro.Pellora", "Nautilus");
  return log;
}

}  // namespace

PreviewHold::PreviewHold(host::HostLoop& loop, Options options)
    : loop_(loop),
      records_(std::move(options.cacheDir)),
      mountInfoPath_(options.mountInfoPath),
      shares_(std::move(options.mountInfoPath)),
      files_(std::make_shared<ZVFileManager>()) {}

void PreviewHold::start() {
  PELLORA_DCHECK_SEQUENCE(sequence_);
  // A share mounted (or gone) where a folder was seen changes what the folder is.
  mountTable_ = ::open(mountInfoPath_.c_str(), O_RDONLY | O_CLOEXEC);
  if (mountTable_ >= 0) {
    mountWatch_ = loop_.addWatch(mountTable_, POLLPRI | POLLERR, [this](short) {
      gatewayFolders_.clear();
      char buffer[4096];
      ::lseek(mountTable_, 0, SEEK_SET);
      while (::read(mountTable_, buffer, sizeof buffer) > 0) {
      }
    });
  }
  const auto folder = files_->communicationDir();
  if (!folder) {
    previewLog().error("Could not get communication directory");
  } else {
    inotify_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    // The file is replaced (removed, written anew) or renamed into place: the folder's
    // entries tell.
    if (inotify_ < 0 || ::inotify_add_watch(inotify_, folder->c_str(),
                                            IN_CLOSE_WRITE | IN_MOVED_TO | IN_CREATE | IN_DELETE) < 0) {
      previewLog().errorf("Cannot watch %s for the preview choice", folder->c_str());
      stopWatching();
    } else {
      watch_ = loop_.addWatch(inotify_, POLLIN, [this](short) {
        char buffer[4096];
        while (::read(inotify_, buffer, sizeof buffer) > 0) {
        }
        reread();
      });
    }
  }
  reread();
}

void PreviewHold::stopWatching() {
  if (watch_) loop_.removeWatch(watch_);
  watch_ = 0;
  if (inotify_ >= 0) ::close(inotify_);
  inotify_ = -1;
}

PreviewHold::~PreviewHold() {
  stopWatching();
  if (mountWatch_) loop_.removeWatch(mountWatch_);
  if (mountTable_ >= 0) ::close(mountTable_);
}

void PreviewHold::reread() {
  const auto value = files_->previewStateEnabled();
  if (!value || *value == enabled_) return;
  enabled_ = *value;
  previewLog().infof("Previews in gateway folders are %s", enabled_ ? "on" : "off");
  if (!enabled_) return;
  // Nautilus may make thumbnails again: the next time it looks, our records are gone.
  for (const auto& [path, mtime] : written_) records_.removeOurs(path);
  written_.clear();
}

bool PreviewHold::onGatewayShare(const std::string& folder) {
  auto [it, added] = gatewayFolders_.try_emplace(folder, false);
  if (added) it->second = shares_.shareOf(folder).has_value();
  return it->second;
}

void PreviewHold::hold(const std::string& path, time_t mtime) {
  const auto it = written_.find(path);
  if (it != written_.end() && it->second == mtime) return;
  if (!records_.write(path, mtime)) {
    previewLog().errorf("Could not keep Nautilus from previewing %s", path.c_str());
    return;
  }
  written_[path] = mtime;
}

void PreviewHold::holdFolder(const std::string& folder) {
  PELLORA_DCHECK_SEQUENCE(sequence_);
  if (enabled_ || !onGatewayShare(folder)) return;
  DIR* dir = ::opendir(folder.c_str());
  if (!dir) return;
  const int fd = ::dirfd(dir);
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_type != DT_REG && entry->d_type != DT_UNKNOWN) continue;
    struct stat st {};
    if (::fstatat(fd, entry->d_name, &st, 0) != 0 || !S_ISREG(st.st_mode)) continue;
    hold(pellora::host::childOf(folder, entry->d_name), st.st_mtime);
  }
  ::closedir(dir);
}

void PreviewHold::holdFile(const std::string& path) {
  PELLORA_DCHECK_SEQUENCE(sequence_);
  if (enabled_) {
    // A record of an earlier run, while previews were off.
    if (onGatewayShare(pellora::host::parentOf(path))) records_.removeOurs(path);
    return;
  }
  if (!onGatewayShare(pellora::host::parentOf(path))) return;
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return;
  hold(path, st.st_mtime);
}

}  // namespace pellora::nautilus
