// A timer source: its handler runs on the target queue after the first delay and then every
// interval (a zero interval fires once). Fires that come while the handler is still queued are
// merged into it. cancel() stops further fires; a handler already running finishes.
#pragma once

#include <memory>

#include "dispatch/Queue.h"

namespace platform::dispatch {

class TimerSource {
 public:
  TimerSource(std::shared_ptr<Queue> queue, Clock::duration firstDelay, Clock::duration interval,
              Work handler);
  ~TimerSource();
  TimerSource(const TimerSource&) = delete;
  TimerSource& operator=(const TimerSource&) = delete;

  void resume();
  void cancel();
  bool isCancelled() const;

  struct State;

 private:
  std::shared_ptr<State> state_;
  Clock::duration firstDelay_;
  Clock::duration interval_;
};

}  // namespace platform::dispatch
