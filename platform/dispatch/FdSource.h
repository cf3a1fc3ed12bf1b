// A read or write source on a file descriptor: the handler runs on the target queue when the
// descriptor is readable (or writable). The source waits for the handler to finish before it
// looks at the descriptor again. The descriptor stays the caller's; close it after cancel().
#pragma once

#include <memory>

#include "dispatch/Queue.h"

namespace platform::dispatch {

class FdSource {
 public:
  enum class Kind { Read, Write };

  FdSource(int fd, Kind kind, std::shared_ptr<Queue> queue, Work handler);
  ~FdSource();
  FdSource(const FdSource&) = delete;
  FdSource& operator=(const FdSource&) = delete;

  void resume();
  void cancel();

  struct State;

 private:
  std::shared_ptr<State> state_;
};

}  // namespace platform::dispatch
