// The host loop on a GLib main context (Nautilus's main loop): posted work runs from a source
// of its own on the context, timers and descriptor watches are GLib sources. The loop's thread
// is the one that created it, which must be the context's owner (the main thread for the
// default context).
#pragma once

#include <map>
#include <memory>
#include <thread>

#include "HostLoop.h"

typedef struct _GMainContext GMainContext;
typedef struct _GSource GSource;

namespace pellora::host {

class GLibLoop final : public HostLoop {
 public:
  // context null: the default main context.
  explicit GLibLoop(GMainContext* context = nullptr);
  // Destroys the loop's sources; work still posted is dropped.
  ~GLibLoop() override;
  GLibLoop(const GLibLoop&) = delete;
  GLibLoop& operator=(const GLibLoop&) = delete;

  void post(Work work) override;
  std::function<void(Work)> poster() override;
  TimerId addTimer(Clock::duration delay, Clock::duration interval, Work callback) override;
  void removeTimer(TimerId id) override;
  WatchId addWatch(int fd, short events, std::function<void(short)> callback) override;
  void removeWatch(WatchId id) override;
  bool servePostedUntil(const std::function<bool()>& done, Clock::duration timeout) override;
  bool isLoopThread() const override;

  struct Posted;
  struct Timer;
  struct Watch;

 private:
  // Runs the work posted so far (not what that work posts); true when there was any.
  bool runPosted();

  GMainContext* context_;
  const std::thread::id thread_;
  // The queue of posted work, shared with the posters; its source runs it on the context.
  std::shared_ptr<Posted> posted_;
  GSource* postedSource_ = nullptr;
  std::map<TimerId, std::unique_ptr<Timer>> timers_;
  std::map<WatchId, std::unique_ptr<Watch>> watches_;
  uint64_t nextId_ = 1;
};

}  // namespace pellora::host
