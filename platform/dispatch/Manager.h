// The dispatch layer's own thread: a run loop that serves delayed work, timer sources and
// descriptor sources, and posts their handlers to the target queues. It lives for the process.
#pragma once

#include <memory>

#include "dispatch/RunLoop.h"

namespace platform::dispatch {

RunLoop& managerLoop();

}  // namespace platform::dispatch
