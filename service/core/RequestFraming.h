// How the service cuts what a client sends into its opening message and hand-overs of request
// text, apart from the socket so that it can be checked on any bytes: each read is taken up to
// its first NUL byte; the first read is the opening message and must hold the key whole; later
// reads accumulate until a line break arrives, and the text up to the last line break is
// handed over while what follows it waits for the rest of its request.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

struct ReceiveState {
  bool opened = false;
  // Text after the last line break so far.
  std::string accumulated;
};

struct ReceiveStep {
  enum class Kind {
    Wait,      // nothing to do until the next read
    Opened,    // the opening message was accepted
    Rejected,  // the opening message was wrong: close the connection
    HandOver,  // text holds request text to answer
    TooLong,   // more than the cap without a line break: close the connection
  };
  Kind kind = Kind::Wait;
  std::string text;
};

// isKey judges the opening message; cap bounds the text kept without a line break.
ReceiveStep receiveRead(ReceiveState& state, std::string_view read,
                        const std::function<bool(const std::string&)>& isKey, size_t cap);
