// One end of the connection between Finder and an extension process: a stream socket that
// carries one JSON object per line. Reading runs on a queue of its own and never waits for the
// handlers, so that a side busy sending cannot stall the other side's sends for good; each
// message and the end of the connection are handed to the handlers through post, in order.
#pragma once

#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "dispatch/RunLoop.h"

namespace platform::findersync {

class Channel {
 public:
  using Post = std::function<void(dispatch::Work)>;
  struct Handlers {
    std::function<void(const nlohmann::json& message)> message;
    // Once, after the last message: the peer closed, the connection failed, or a line was bad
    // beyond repair (longer than kMaxLine).
    std::function<void()> closed;
  };

  static constexpr size_t kMaxLine = 8 << 20;

  // Takes fd (a connected stream socket) and starts reading.
  Channel(int fd, Post post, Handlers handlers);
  ~Channel();
  Channel(const Channel&) = delete;
  Channel& operator=(const Channel&) = delete;

  // Thread-safe; whole messages never interleave. False when the connection is closed or the
  // peer did not take the message within the send timeout (the connection is then closed).
  bool send(const nlohmann::json& message);
  bool sendLine(const std::string& line);
  // Ends the connection. No handler starts after close() returns (one that runs may finish).
  void close();
  bool isOpen() const;

  struct State;

 private:
  std::shared_ptr<State> state_;
};

}  // namespace platform::findersync
