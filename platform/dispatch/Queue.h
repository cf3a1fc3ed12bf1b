// Dispatch queues: serial queues with a label, the main queue and the global concurrent queues.
// Queues are shared objects; delayed work and sources keep their target queue alive.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "dispatch/RunLoop.h"

namespace platform::dispatch {

enum class QoS { Background, Utility, Default, UserInitiated, UserInteractive };

class Queue : public std::enable_shared_from_this<Queue> {
 public:
  explicit Queue(std::string label) : label_(std::move(label)) {}
  virtual ~Queue() = default;
  Queue(const Queue&) = delete;
  Queue& operator=(const Queue&) = delete;

  virtual void async(Work work) = 0;
  // Runs work on the queue and waits for it. Called from work of the same serial queue (the
  // main queue included) it could never return: the process aborts with a message naming the
  // queue. On a concurrent queue the work then runs on the calling thread.
  void sync(const Work& work);
  // Runs work on the queue once delay has passed.
  void asyncAfter(Clock::duration delay, Work work);
  // True when the calling thread is running this queue's work.
  virtual bool isCurrent() const = 0;

  const std::string& label() const { return label_; }

 private:
  // True when the queue runs one work item at a time.
  virtual bool isSerial() const { return true; }

  std::string label_;
};

std::shared_ptr<Queue> makeSerialQueue(std::string label);
std::shared_ptr<Queue> globalQueue(QoS qos = QoS::Default);
std::shared_ptr<Queue> mainQueue();

// Binds the main queue to another event loop (a GUI toolkit's): post must run work on the main
// thread, in order. Without a binding the main queue is RunLoop::main().
void bindMainQueue(std::function<void(Work)> post);

// Wraps fn so that it runs only while object is still alive, without keeping it alive.
template <class T, class F>
Work weakly(const std::shared_ptr<T>& object, F fn) {
  return [weak = std::weak_ptr<T>(object), fn = std::move(fn)]() mutable {
    if (auto strong = weak.lock()) fn(*strong);
  };
}

}  // namespace platform::dispatch
