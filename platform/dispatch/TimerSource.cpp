#include "dispatch/TimerSource.h"

#include <mutex>

#include "dispatch/Manager.h"

namespace platform::dispatch {

struct TimerSource::State {
  std::mutex mutex;
  std::shared_ptr<Queue> queue;
  Work handler;
  bool cancelled = false;
  bool pending = false;
  bool resumed = false;
  RunLoop::TimerId timer = 0;
};

TimerSource::TimerSource(std::shared_ptr<Queue> queue, Clock::duration firstDelay,
                         Clock::duration interval, Work handler)
    : state_(std::make_shared<State>()), firstDelay_(firstDelay), interval_(interval) {
  state_->queue = std::move(queue);
  state_->handler = std::move(handler);
}

TimerSource::~TimerSource() { cancel(); }

void TimerSource::resume() {
  std::lock_guard lock(state_->mutex);
  if (state_->resumed || state_->cancelled) return;
  state_->resumed = true;
  state_->timer = managerLoop().addTimer(firstDelay_, interval_, [weak = std::weak_ptr(state_)] {
    auto state = weak.lock();
    if (!state) return;
    std::lock_guard lock(state->mutex);
    if (state->cancelled || state->pending) return;
    state->pending = true;
    state->queue->async([state] {
      Work handler;
      {
        std::lock_guard lock(state->mutex);
        state->pending = false;
        if (state->cancelled) return;
        handler = state->handler;
      }
      handler();
    });
  });
}

void TimerSource::cancel() {
  std::lock_guard lock(state_->mutex);
  if (state_->cancelled) return;
  state_->cancelled = true;
  if (state_->resumed) managerLoop().removeTimer(state_->timer);
}

bool TimerSource::isCancelled() const {
  std::lock_guard lock(state_->mutex);
  return state_->cancelled;
}

}  // namespace platform::dispatch
