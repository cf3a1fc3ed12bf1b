#include "core/RequestFraming.h"

ReceiveStep receiveRead(ReceiveState& state, std::string_view read,
                        const std::function<bool(const std::string&)>& isKey, size_t cap) {
  const std::string_view piece = read.substr(0, read.find('\0'));
  if (!state.opened) {
    // The opening message must come whole in the first read; nothing may follow it there.
    if (!isKey(std::string(piece))) return {ReceiveStep::Kind::Rejected, {}};
    state.opened = true;
    return {ReceiveStep::Kind::Opened, {}};
  }
  // Earlier pieces held no line break, so only the new one needs looking at.
  const size_t lastBreak = piece.find_last_of("\r\n");
  if (lastBreak == std::string_view::npos) {
    state.accumulated.append(piece);
    if (state.accumulated.size() > cap) return {ReceiveStep::Kind::TooLong, {}};
    return {};
  }
  ReceiveStep step{ReceiveStep::Kind::HandOver, std::move(state.accumulated)};
  step.text.append(piece.substr(0, lastBreak + 1));
  // The rest is the start of a request that TCP split; it waits instead of being handed over
  // half.
  state.accumulated.assign(piece.substr(lastBreak + 1));
  return step;
}
