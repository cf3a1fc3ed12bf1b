// Any bytes as what the extension reads: as a port file, and as a stream from the service cut
// into segments of any length, through the CR LF framing of the extension's socket. Frames end
// at the first CR LF, never pass the maximum length, and lose or repeat no byte; resuming a
// scan where the last one stopped finds what a scan from the start would.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "PortFile.h"
#include "TerminatedRead.h"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

void checkPortFile(std::string_view text) {
  const auto content = PortFile::parse(text);
  if (!content) return;
  check(content->port >= 1 && content->port <= 65535);
  check(!content->token.empty());
  check(content->token.find(',') == std::string::npos);
  // What the service writes reads back the same.
  const auto again = PortFile::parse(std::to_string(content->port) + "," + content->token);
  check(again && again->port == content->port && again->token == content->token);
}

void checkFraming(std::string_view stream, size_t maxLength, uint32_t random) {
  const std::string_view end = "\r\n";
  std::string buffer, framed, received;
  size_t resume = 0;
  while (true) {
    const TerminatedRead scan = scanTerminatedRead(buffer, end, maxLength, resume);
    const size_t naive = buffer.find(end);
    if (scan.status == TerminatedRead::Status::Complete) {
      check(naive != std::string::npos && scan.length == naive + end.size());
      check(maxLength == 0 || scan.length <= maxLength);
      framed.append(buffer, 0, scan.length);
      buffer.erase(0, scan.length);
      resume = 0;
      continue;
    }
    if (scan.status == TerminatedRead::Status::MaxedOut) {
      check(maxLength > 0);
      check(naive == std::string::npos ? buffer.size() >= maxLength
                                       : naive + end.size() > maxLength);
      return;
    }
    check(naive == std::string::npos);
    check(maxLength == 0 || buffer.size() < maxLength);
    check(scan.resumeAt <= buffer.size());
    resume = scan.resumeAt;
    if (stream.empty()) break;
    random = random * 1103515245u + 12345u;
    const size_t length = std::min<size_t>(stream.size(), 1 + (random >> 16) % 64);
    buffer.append(stream.substr(0, length));
    received.append(stream.substr(0, length));
    stream.remove_prefix(length);
  }
  check(framed + buffer == received);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  checkPortFile(text);
  if (size == 0) return 0;
  // The first byte sets the maximum length (0: none) and the segment lengths.
  const size_t maxLength = data[0] % 4 == 0 ? 0 : 2 + data[0];
  checkFraming(text.substr(1), maxLength, data[0] * 2654435761u + 1);
  return 0;
}
