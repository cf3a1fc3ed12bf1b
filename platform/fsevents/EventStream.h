// A file-level event stream on one folder tree: every change below the root becomes an event
// with the path and flag bits of the platform's event streams, delivered in batches after the
// latency on the run loop the stream is scheduled on.
//
// Folders whose content may have been missed (created before their watch existed, or all
// folders after a queue overflow) come as MustScanSubDirs | ItemIsDir. The root removed, moved
// away or created again comes as RootChanged. A batch never mixes file events with rescan
// events: a consumer that reads "a file changed after a rescan" as "no rescan needed" must not
// lose what the rescan stood for.
//
// A stream belongs to the thread that runs its loop: every call from scheduleWithRunLoop() to
// the destructor comes from that thread (checked in debug builds).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "dispatch/RunLoop.h"
#include "dispatch/SequenceChecker.h"

namespace platform::fsevents {

enum Flags : uint32_t {
  kMustScanSubDirs = 0x1,
  kUserDropped = 0x2,
  kKernelDropped = 0x4,
  kEventIdsWrapped = 0x8,
  kHistoryDone = 0x10,
  kRootChanged = 0x20,
  kMount = 0x40,
  kUnmount = 0x80,
  kItemCreated = 0x100,
  kItemRemoved = 0x200,
  kItemInodeMetaMod = 0x400,
  kItemRenamed = 0x800,
  kItemModified = 0x1000,
  kItemFinderInfoMod = 0x2000,
  kItemChangeOwner = 0x4000,
  kItemXattrMod = 0x8000,
  kItemIsFile = 0x10000,
  kItemIsDir = 0x20000,
  kItemIsSymlink = 0x40000,
  kOwnEvent = 0x80000,
};

struct Event {
  std::string path;
  uint32_t flags = 0;
};

class EventStream {
 public:
  using Callback = std::function<void(const std::vector<Event>& events)>;

  // Null when no inotify instance can be made.
  static std::unique_ptr<EventStream> create(std::string root, std::chrono::milliseconds latency,
                                             Callback callback);
  ~EventStream();
  EventStream(const EventStream&) = delete;
  EventStream& operator=(const EventStream&) = delete;

  void scheduleWithRunLoop(std::shared_ptr<dispatch::RunLoop> loop);
  // Watches the tree and starts delivering on the scheduled loop. False when the root cannot
  // be watched.
  bool start();
  // Delivers what is pending now, on the calling thread.
  void flushSync();
  void stop();

  size_t watchedFolders() const;

 private:
  enum class Kind { None, Files, Rescans };

  EventStream(int fd, std::string root, std::chrono::milliseconds latency, Callback callback);

  void readEvents();
  void handle(int wd, uint32_t mask, const std::string& name);
  // Adds watches for folder and every folder below it; with rescan, also reports each one
  // as a folder whose content may have been missed.
  void watchTree(const std::string& folder, bool rescan);
  void unwatchTree(const std::string& folder);
  void watchParentForRoot();
  void rootGone();
  void overflow();
  void append(Event event);
  void deliver();
  void reportWatchLimit();

  dispatch::SequenceChecker sequence_;
  int fd_;
  std::string root_;
  std::chrono::milliseconds latency_;
  Callback callback_;
  std::shared_ptr<dispatch::RunLoop> loop_;
  dispatch::RunLoop::WatchId watch_ = 0;
  dispatch::RunLoop::TimerId timer_ = 0;
  bool timerArmed_ = false;
  bool started_ = false;
  int rootWd_ = -1;
  int parentWd_ = -1;
  bool limitReported_ = false;
  std::unordered_map<int, std::string> paths_;
  std::vector<Event> pending_;
  Kind pendingKind_ = Kind::None;
};

}  // namespace platform::fsevents
