// Any bytes, cut into reads of any length the socket could return, through the TCP server's
// receive framing: the opening is judged on the first read alone; afterwards no byte before a
// NUL of its read is lost or handed over twice, every hand-over ends at a line break, and what
// waits holds none and stays within the cap.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "core/RequestFraming.h"

namespace {

constexpr size_t kCap = 2048;
const std::string kKey = "{K}\n";

void check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // The first byte chooses the read lengths and whether the key comes first.
  uint32_t random = data[0] * 2654435761u + 1;
  const bool keyed = data[0] & 1;
  std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  const auto isKey = [](const std::string& first) { return first == kKey; };

  ReceiveState state;
  std::string expected, handed;
  bool first = true;
  while (!rest.empty() || (first && keyed)) {
    std::string_view read;
    if (first && keyed) {
      read = kKey;
    } else {
      random = random * 1103515245u + 12345u;
      const size_t length = std::min<size_t>(rest.size(), 1 + (random >> 16) % 1023);
      read = rest.substr(0, length);
      rest.remove_prefix(length);
    }
    const std::string_view piece = read.substr(0, read.find('\0'));
    const ReceiveStep step = receiveRead(state, read, isKey, kCap);
    if (first) {
      first = false;
      check(step.kind == (piece == kKey ? ReceiveStep::Kind::Opened : ReceiveStep::Kind::Rejected));
      if (step.kind == ReceiveStep::Kind::Rejected) return 0;
      continue;
    }
    expected.append(piece);
    switch (step.kind) {
      case ReceiveStep::Kind::HandOver:
        check(!step.text.empty());
        check(step.text.back() == '\r' || step.text.back() == '\n');
        check(step.text.find('\0') == std::string::npos);
        handed += step.text;
        break;
      case ReceiveStep::Kind::Wait:
        break;
      case ReceiveStep::Kind::TooLong:
        check(state.accumulated.size() > kCap);
        return 0;
      default:
        std::abort();
    }
    check(state.accumulated.find_first_of("\r\n") == std::string::npos);
    check(state.accumulated.size() <= kCap);
    check(handed + state.accumulated == expected);
  }
  return 0;
}
