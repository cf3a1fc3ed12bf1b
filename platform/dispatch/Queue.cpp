#include "dispatch/Queue.h"

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "dispatch/Manager.h"

namespace platform::dispatch {
namespace {

// Shared between a serial queue and its worker so that a queue released from its own worker
// can let the worker finish on its own.
struct SerialState {
  std::mutex mutex;
  std::condition_variable wake;
  std::deque<Work> work;
  bool closing = false;
  std::thread::id worker;
};

void serveSerial(const std::shared_ptr<SerialState>& state) {
  std::unique_lock lock(state->mutex);
  for (;;) {
    state->wake.wait(lock, [&] { return state->closing || !state->work.empty(); });
    if (state->work.empty()) return;
    Work w = std::move(state->work.front());
    state->work.pop_front();
    lock.unlock();
    w();
    w = nullptr;  // release captures outside the lock
    lock.lock();
  }
}

class SerialQueue final : public Queue {
 public:
  explicit SerialQueue(std::string label) : Queue(std::move(label)) {}

  ~SerialQueue() override {
    {
      std::lock_guard lock(state_->mutex);
      state_->closing = true;
    }
    state_->wake.notify_all();
    if (!thread_.joinable()) return;
    // Pending work still runs; the worker ends when the queue is empty.
    if (thread_.get_id() == std::this_thread::get_id()) {
      thread_.detach();
    } else {
      thread_.join();
    }
  }

  void async(Work work) override {
    // The work may release this queue before async returns; the state outlives it.
    const auto state = state_;
    {
      std::lock_guard lock(state->mutex);
      state->work.push_back(std::move(work));
      if (!thread_.joinable()) {
        thread_ = std::thread([state] { serveSerial(state); });
        state->worker = thread_.get_id();
      }
    }
    state->wake.notify_one();
  }

  bool isCurrent() const override {
    std::lock_guard lock(state_->mutex);
    return state_->worker == std::this_thread::get_id();
  }

 private:
  std::shared_ptr<SerialState> state_ = std::make_shared<SerialState>();
  std::thread thread_;
};

class ConcurrentQueue final : public Queue {
 public:
  ConcurrentQueue(std::string label, unsigned width) : Queue(std::move(label)) {
    for (unsigned i = 0; i < width; ++i) {
      threads_.emplace_back([this] { serve(); });
    }
  }

  void async(Work work) override {
    {
      std::lock_guard lock(mutex_);
      work_.push_back(std::move(work));
    }
    wake_.notify_one();
  }

  bool isCurrent() const override {
    for (const auto& t : threads_) {
      if (t.get_id() == std::this_thread::get_id()) return true;
    }
    return false;
  }

 private:
  void serve() {
    std::unique_lock lock(mutex_);
    for (;;) {
      wake_.wait(lock, [&] { return !work_.empty(); });
      Work w = std::move(work_.front());
      work_.pop_front();
      lock.unlock();
      w();
      w = nullptr;
      lock.lock();
    }
  }

  bool isSerial() const override { return false; }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Work> work_;
  std::vector<std::thread> threads_;
};

class MainQueue final : public Queue {
 public:
  MainQueue() : Queue("com.apple.main-thread") {}

  void async(Work work) override {
    std::function<void(Work)> post;
    {
      std::lock_guard lock(mutex_);
      post = post_;
    }
    if (post) {
      post(std::move(work));
    } else {
      RunLoop::main()->perform(std::move(work));
    }
  }

  bool isCurrent() const override { return RunLoop::isMainThread(); }

  void bind(std::function<void(Work)> post) {
    std::lock_guard lock(mutex_);
    post_ = std::move(post);
  }

 private:
  std::mutex mutex_;
  std::function<void(Work)> post_;
};

MainQueue& theMainQueue() {
  // Lives for the process: work may be posted to it from any thread until exit.
  static auto* queue = new std::shared_ptr<MainQueue>(std::make_shared<MainQueue>());
  return **queue;
}

}  // namespace

void Queue::sync(const Work& work) {
  if (isCurrent()) {
    if (isSerial()) {
      std::fprintf(stderr, "sync on the serial queue \"%s\" from its own work would never return\n",
                   label().c_str());
      std::abort();
    }
    work();
    return;
  }
  std::mutex m;
  std::condition_variable cv;
  bool done = false;
  async([&] {
    work();
    std::lock_guard lock(m);
    done = true;
    cv.notify_one();
  });
  std::unique_lock lock(m);
  cv.wait(lock, [&] { return done; });
}

void Queue::asyncAfter(Clock::duration delay, Work work) {
  managerLoop().addTimer(delay, Clock::duration::zero(),
                         [self = shared_from_this(), w = std::move(work)]() mutable {
                           self->async(std::move(w));
                         });
}

std::shared_ptr<Queue> makeSerialQueue(std::string label) {
  return std::make_shared<SerialQueue>(std::move(label));
}

std::shared_ptr<Queue> globalQueue(QoS qos) {
  static const char* const names[] = {
      "com.apple.root.background-qos", "com.apple.root.utility-qos", "com.apple.root.default-qos",
      "com.apple.root.user-initiated-qos", "com.apple.root.user-interactive-qos"};
  static std::mutex mutex;
  // Pools live for the process and are made when first asked for.
  static auto* pools = new std::shared_ptr<Queue>[std::size(names)];
  const unsigned width = std::max(2u, std::min(8u, std::thread::hardware_concurrency()));
  const auto index = static_cast<size_t>(qos);
  std::lock_guard lock(mutex);
  if (!pools[index]) pools[index] = std::make_shared<ConcurrentQueue>(names[index], width);
  return pools[index];
}

std::shared_ptr<Queue> mainQueue() { return theMainQueue().shared_from_this(); }

void bindMainQueue(std::function<void(Work)> post) { theMainQueue().bind(std::move(post)); }

}  // namespace platform::dispatch
