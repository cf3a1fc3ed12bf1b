// Turns SIGTERM and SIGINT into work on a queue, so that a program ends through its normal
// path: the handler runs on the queue with the signal's number, once per signal that came
// (signals that come together may be handed over in one turn). While the object lives the two
// signals no longer end the process; their previous dispositions come back when it goes.
// Objects nest: the newest one takes the signals until it goes. Without a descriptor for the
// wake-up (a full descriptor table) the signals keep ending the process as before.
#pragma once

#include <signal.h>

#include <functional>
#include <memory>

#include "dispatch/Queue.h"
#include "dispatch/RunLoop.h"

namespace platform::dispatch {
class FdSource;
}

namespace platform::process {

class StopSignals {
 public:
  using Handler = std::function<void(int signal)>;

  StopSignals(std::shared_ptr<dispatch::Queue> queue, Handler handler);
  // Stops loop (from whatever thread) when a signal comes.
  explicit StopSignals(std::shared_ptr<dispatch::RunLoop> loop);
  ~StopSignals();
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

  struct Target;

 private:
  std::shared_ptr<Target> target_;
  Target* previous_ = nullptr;
  std::unique_ptr<dispatch::FdSource> source_;
  struct sigaction savedTerm_ {};
  struct sigaction savedInt_ {};
};

}  // namespace platform::process
