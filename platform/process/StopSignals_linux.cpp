#include <sched.h>

#include <atomic>
#include <cerrno>

#include "dispatch/FdSource.h"
#include "dispatch/Waker.h"
#include "process/StopSignals.h"

namespace platform::process {

// What the signal handler reaches: the signals seen and the waker of the queue's source.
struct StopSignals::Target {
  std::unique_ptr<dispatch::Waker> waker;
  std::atomic<unsigned> pending{0};
};

namespace {

constexpr unsigned bitOf(int signal) { return 1u << signal; }

// The handler touches only lock-free atomics and the waker's write(), which are safe in a
// signal handler. inHandler lets a StopSignals that goes wait until no handler still uses it.
std::atomic<StopSignals::Target*> gTarget{nullptr};
std::atomic<int> gInHandler{0};

void onSignal(int signal) {
  const int savedErrno = errno;
  gInHandler.fetch_add(1);
  if (StopSignals::Target* target = gTarget.load()) {
    target->pending.fetch_or(bitOf(signal));
    target->waker->wake();
  }
  gInHandler.fetch_sub(1);
  errno = savedErrno;
}

}  // namespace

StopSignals::StopSignals(std::shared_ptr<dispatch::Queue> queue, Handler handler) {
  auto waker = dispatch::Waker::create();
  if (!waker) return;
  target_ = std::make_shared<Target>();
  target_->waker = std::move(waker);
  source_ = std::make_unique<dispatch::FdSource>(
      target_->waker->fd(), dispatch::FdSource::Kind::Read, std::move(queue),
      [target = target_, handler = std::move(handler)] {
        target->waker->drain();
        const unsigned seen = target->pending.exchange(0);
        for (const int signal : {SIGTERM, SIGINT}) {
          if (seen & bitOf(signal)) handler(signal);
        }
      });
  source_->resume();
  previous_ = gTarget.exchange(target_.get());
  struct sigaction sa {};
  sa.sa_handler = onSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  ::sigaction(SIGTERM, &sa, &savedTerm_);
  ::sigaction(SIGINT, &sa, &savedInt_);
}

StopSignals::StopSignals(std::shared_ptr<dispatch::RunLoop> loop)
    : StopSignals(dispatch::globalQueue(), [loop = std::move(loop)](int) { loop->stop(); }) {}

StopSignals::~StopSignals() {
  if (!target_) return;
  ::sigaction(SIGTERM, &savedTerm_, nullptr);
  ::sigaction(SIGINT, &savedInt_, nullptr);
  gTarget.store(previous_);
  // A handler on another thread may still hold the target it loaded.
  while (gInHandler.load() != 0) ::sched_yield();
  source_->cancel();
}

}  // namespace platform::process
