#include "dispatch/FdSource.h"

#include <poll.h>

#include <mutex>

#include "dispatch/Manager.h"

namespace platform::dispatch {

struct FdSource::State {
  std::mutex mutex;
  int fd = -1;
  short events = POLLIN;
  std::shared_ptr<Queue> queue;
  Work handler;
  bool cancelled = false;
  bool resumed = false;
  RunLoop::WatchId watch = 0;
};

FdSource::FdSource(int fd, Kind kind, std::shared_ptr<Queue> queue, Work handler)
    : state_(std::make_shared<State>()) {
  state_->fd = fd;
  state_->events = kind == Kind::Read ? POLLIN : POLLOUT;
  state_->queue = std::move(queue);
  state_->handler = std::move(handler);
}

FdSource::~FdSource() { cancel(); }

void FdSource::resume() {
  std::lock_guard lock(state_->mutex);
  if (state_->resumed || state_->cancelled) return;
  state_->resumed = true;
  std::weak_ptr<State> weak = state_;
  state_->watch = managerLoop().addWatch(state_->fd, state_->events, [weak](short) {
    auto state = weak.lock();
    if (!state) return;
    std::lock_guard lock(state->mutex);
    if (state->cancelled) return;
    // Quiet until the handler has drained what made the descriptor ready.
    managerLoop().setWatchEnabled(state->watch, false);
    state->queue->async([state] {
      Work handler;
      {
        std::lock_guard lock(state->mutex);
        if (state->cancelled) return;
        handler = state->handler;
      }
      handler();
      std::lock_guard lock(state->mutex);
      if (!state->cancelled) managerLoop().setWatchEnabled(state->watch, true);
    });
  });
}

void FdSource::cancel() {
  std::lock_guard lock(state_->mutex);
  if (state_->cancelled) return;
  state_->cancelled = true;
  if (state_->resumed) managerLoop().removeWatch(state_->watch);
}

}  // namespace platform::dispatch
