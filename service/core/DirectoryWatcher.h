// Watches one share root and reports the files whose stub state may have changed: changed files
// are drained every 3 seconds, folders to rescan every 15 seconds, on the watcher's own thread,
// which alone sees the events and the lists (checked in debug builds).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/RefreshFileIconInterface.h"
#include "dispatch/RunLoop.h"
#include "dispatch/SequenceChecker.h"
#include "fsevents/EventStream.h"
#include "log/Log.h"

// The names of the set flag bits, ascending, each followed by one space.
std::string printFlags(uint32_t flags);

struct WatcherTiming {
  std::chrono::milliseconds latency{1000};
  std::chrono::milliseconds fileInterval{3000};
  std::chrono::milliseconds folderInterval{15000};
};

class DirectoryWatcher {
 public:
  enum Action { kIgnore = 0, kItemChanged = 1, kRescan = 2 };

  DirectoryWatcher(std::string path, RefreshFileIconInterface& refresher,
                   const platform::log::Log& log, WatcherTiming timing = {});
  ~DirectoryWatcher();
  DirectoryWatcher(const DirectoryWatcher&) = delete;
  DirectoryWatcher& operator=(const DirectoryWatcher&) = delete;

  const std::string& path() const { return path_; }
  // False when the watcher is idle (its stream could not be made or started).
  bool isWatching() const { return watching_; }
  // Blocks until the thread has started its stream or ended; for tests.
  bool waitUntilWatching(std::chrono::milliseconds timeout);

  // For tests: hand in a batch as the stream does, or drain the changed files and then the
  // folders to rescan as the timers do, on the watcher's own thread; each waits until done.
  // False when the watcher is idle or did not get to it in time.
  bool handleEventsForTesting(size_t count, std::vector<std::string> paths,
                              std::vector<uint32_t> flags);
  bool drainForTesting();

 private:
  void initWatchDir();
  void threadGetFileChanges();
  bool runOnWatcherForTesting(std::function<void()> work);

  // The stream's callback and the timers' work: the watcher thread only.
  void handleEvents(size_t count, const std::vector<std::string>& paths,
                    const std::vector<uint32_t>& flags);
  int checkEventFlags(const std::string& path, uint32_t flags);
  void checkFileList();
  void checkFolderList();

  std::unique_ptr<std::thread> thread_;
  std::atomic<bool> stopping_{false};
  std::unique_ptr<platform::fsevents::EventStream> stream_;
  platform::dispatch::RunLoop::TimerId fileTimer_ = 0;
  platform::dispatch::RunLoop::TimerId folderTimer_ = 0;
  std::shared_ptr<platform::dispatch::RunLoop> runLoop_;  // published by the thread
  std::mutex runLoopLock_;
  std::condition_variable started_;
  bool threadReady_ = false;
  std::atomic<bool> watching_{false};

  std::string path_;
  const std::string tmpMarker_ = ".zavro.tmp";
  RefreshFileIconInterface& refresher_;
  // The watcher thread's own state, so that it needs no locks.
  platform::dispatch::SequenceChecker sequence_;
  std::set<std::string> changedFiles_;
  std::set<std::string> rescanFolders_;
  const platform::log::Log& log_;
  WatcherTiming timing_;
};
