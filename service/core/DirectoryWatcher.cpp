#include "core/DirectoryWatcher.h"

#include <dirent.h>
#include <sys/stat.h>

#include <future>
#include <stdexcept>

namespace fse = platform::fsevents;

std::string printFlags(uint32_t flags) {
  static const char* const names[] = {
      "MustScanSubDirs", "UserDropped",      "KernelDropped",     "EventIdsWrapped",
      "HistoryDone",     "RootChanged",      "Mount",             "Unmount",
      "ItemCreated",     "ItemRemoved",      "ItemInodeMetaMod",  "ItemRenamed",
      "ItemModified",    "ItemFinderInfoMod", "ItemChangeOwner",  "ItemXattrMod",
      "ItemIsFile",      "ItemIsDir",        "ItemIsSymlink",     "OwnEvent"};
  std::string out;
  for (size_t bit = 0; bit < std::size(names); ++bit) {
    if (flags & (1u << bit)) out += std::string(names[bit]) + " ";
  }
  return out;
}

DirectoryWatcher::DirectoryWatcher(std::string path, RefreshFileIconInterface& refresher,
                                   const platform::log::Log& log, WatcherTiming timing)
    : path_(std::move(path)), refresher_(refresher), log_(log), timing_(timing) {
  initWatchDir();
}

DirectoryWatcher::~DirectoryWatcher() {
  stopping_ = true;
  if (!thread_) return;
  {
    // The thread may not have published its run loop yet; it checks stopping_ under the same
    // lock before it runs, and a stop that comes before the loop runs still ends it.
    std::lock_guard guard(runLoopLock_);
    if (runLoop_) runLoop_->stop();
  }
  thread_->join();
}

void DirectoryWatcher::initWatchDir() {
  if (path_.empty()) {
    log_.errorf("%s, Unable to create string to watch %s", "initWatchDir", path_.c_str());
    return;
  }
  stream_ = fse::EventStream::create(path_, timing_.latency,
                                     [this](const std::vector<fse::Event>& events) {
                                       std::vector<std::string> paths;
                                       std::vector<uint32_t> flags;
                                       for (const auto& e : events) {
                                         paths.push_back(e.path);
                                         flags.push_back(e.flags);
                                       }
                                       handleEvents(events.size(), paths, flags);
                                     });
  if (!stream_) {
    log_.errorf("%s, Unable to create the stream for: %s", "initWatchDir", path_.c_str());
    return;
  }
  thread_ = std::make_unique<std::thread>([this] { threadGetFileChanges(); });
}

bool DirectoryWatcher::waitUntilWatching(std::chrono::milliseconds timeout) {
  std::unique_lock lock(runLoopLock_);
  started_.wait_for(lock, timeout, [&] { return threadReady_; });
  return watching_;
}

void DirectoryWatcher::threadGetFileChanges() {
  auto announce = [&](bool watching) {
    std::lock_guard guard(runLoopLock_);
    watching_ = watching;
    threadReady_ = true;
    started_.notify_all();
  };
  try {
    auto loop = platform::dispatch::RunLoop::current();
    {
      std::lock_guard guard(runLoopLock_);
      if (stopping_) {
        threadReady_ = true;
        started_.notify_all();
        return;
      }
      runLoop_ = loop;
    }
    stream_->scheduleWithRunLoop(loop);
    if (!stream_->start()) {
      log_.errorf("%s, failed to start the FSEventStream", "threadGetFileChanges");
      stream_.reset();
      announce(false);
      return;
    }
    fileTimer_ = loop->addTimer(std::chrono::milliseconds(0), timing_.fileInterval,
                                [this] { checkFileList(); });
    folderTimer_ = loop->addTimer(std::chrono::milliseconds(0), timing_.folderInterval,
                                  [this] { checkFolderList(); });
    announce(true);
    loop->run();
    stream_->flushSync();
    stream_->stop();
    loop->removeTimer(fileTimer_);
    loop->removeTimer(folderTimer_);
  } catch (const std::exception& e) {
    log_.errorf("%s, Uncaught exception %s", "threadGetFileChanges", e.what());
  }
  // The stream belongs to this thread, to its end.
  stream_.reset();
}

bool DirectoryWatcher::runOnWatcherForTesting(std::function<void()> work) {
  if (!waitUntilWatching(std::chrono::seconds(10))) return false;
  std::shared_ptr<platform::dispatch::RunLoop> loop;
  {
    std::lock_guard guard(runLoopLock_);
    loop = runLoop_;
  }
  if (!loop) return false;
  auto done = std::make_shared<std::promise<void>>();
  auto finished = done->get_future();
  loop->perform([done, work = std::move(work)] {
    work();
    done->set_value();
  });
  return finished.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
}

bool DirectoryWatcher::handleEventsForTesting(size_t count, std::vector<std::string> paths,
                                              std::vector<uint32_t> flags) {
  return runOnWatcherForTesting([this, count, paths = std::move(paths), flags = std::move(flags)] {
    handleEvents(count, paths, flags);
  });
}

bool DirectoryWatcher::drainForTesting() {
  return runOnWatcherForTesting([this] {
    checkFileList();
    checkFolderList();
  });
}

int DirectoryWatcher::checkEventFlags(const std::string& /*path*/, uint32_t flags) {
  PELLORA_DCHECK_SEQUENCE(sequence_);
  if (flags & fse::kHistoryDone) return kIgnore;
  if (flags & fse::kRootChanged) {
    struct stat st {};
    if (::stat(path_.c_str(), &st) == 0) {
      log_.infof("%s, Root path %s now exists!", "checkEventFlags", path_.c_str());
      return kRescan;
    }
    log_.infof("%s, Root path %s no longer exists!", "checkEventFlags", path_.c_str());
    return kIgnore;
  }
  if (!(flags & fse::kMustScanSubDirs)) return kItemChanged;
  if (flags & fse::kUserDropped) {
    log_.errorf("%s, BAD NEWS! We dropped events", "checkEventFlags");
  } else if (flags & fse::kKernelDropped) {
    log_.errorf("%s, REALLY BAD NEWS! The kernel dropped events.", "checkEventFlags");
  }
  return kRescan;
}

void DirectoryWatcher::handleEvents(size_t count, const std::vector<std::string>& paths,
                                    const std::vector<uint32_t>& flags) {
  PELLORA_DCHECK_SEQUENCE(sequence_);
  std::string lastFolder;
  bool folderSeen = false;
  bool fileSeen = false;
  size_t i = 0;
  try {
    for (; i < count && i < paths.size() && i < flags.size() && !stopping_; ++i) {
      const std::string& path = paths[i];
      const int action = checkEventFlags(path, flags[i]);
      const bool isDir = flags[i] & fse::kItemIsDir;
      log_.infof("%s, Event: isDir:%d, action:%d TotalEvents:%d Event:%d path:%s",
                 "handleEvents", isDir ? 1 : 0, action, static_cast<int>(count),
                 static_cast<int>(i), path.c_str());
      switch (action) {
        case kIgnore:
          break;
        case kRescan:
          if (isDir && !fileSeen) {
            rescanFolders_.insert(path);
            folderSeen = true;
            lastFolder = path;
          }
          break;
        case kItemChanged:
          if (!isDir && path.find(tmpMarker_) == std::string::npos) {
            changedFiles_.insert(path);
            fileSeen = true;
            if (folderSeen) rescanFolders_.erase(lastFolder);
          }
          break;
        default:
          throw std::logic_error("unknown action " + std::to_string(action));
      }
    }
  } catch (const std::exception& e) {
    log_.errorf("%s, Got unexpected:%s event: %s.", "handleEvents",
                printFlags(i < flags.size() ? flags[i] : 0).c_str(), e.what());
  }
}

void DirectoryWatcher::checkFileList() {
  PELLORA_DCHECK_SEQUENCE(sequence_);
  if (changedFiles_.empty()) return;
  std::vector<std::string> files(changedFiles_.begin(), changedFiles_.end());
  changedFiles_.clear();
  for (auto& file : files) {
    if (stopping_) return;
    refresher_.refreshFileIcon(file);
  }
}

void DirectoryWatcher::checkFolderList() {
  PELLORA_DCHECK_SEQUENCE(sequence_);
  if (rescanFolders_.empty()) return;
  const std::vector<std::string> folders(rescanFolders_.begin(), rescanFolders_.end());
  rescanFolders_.clear();
  for (const auto& folder : folders) {
    if (stopping_) return;
    DIR* dir = ::opendir(folder.c_str());
    if (!dir) {
      log_.errorf("%s, Unable to open folder path %s.", "checkFolderList", folder.c_str());
      continue;
    }
    while (dirent* entry = ::readdir(dir)) {
      if (stopping_) break;
      if (entry->d_name[0] == '.') continue;
      std::string path = folder + "/" + entry->d_name;
      refresher_.refreshFileIcon(path);
    }
    ::closedir(dir);
  }
}
