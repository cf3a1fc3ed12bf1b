// Any bytes as the stream from Finder or from an extension: the line channel's framing must not
// crash, must hand on JSON objects only, and must give the same messages and the same verdict
// however the stream is cut into reads. The first byte chooses the size of the reads.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "findersync/Protocol.h"

namespace {

namespace message = platform::findersync::message;

constexpr size_t kMaxLine = 1024;

struct Outcome {
  std::vector<std::string> messages;
  size_t dropped = 0;
  bool overlong = false;
};

Outcome frame(std::string_view stream, size_t piece) {
  Outcome out;
  std::string buffer;
  for (size_t at = 0; at < stream.size(); at += piece) {
    auto got = message::receive(buffer, stream.substr(at, piece), kMaxLine);
    for (const auto& m : got.messages) {
      if (!m.is_object()) std::abort();
      out.messages.push_back(message::encode(m));
    }
    out.dropped += got.dropped;
    if (got.overlong) {
      out.overlong = true;
      return out;
    }
    if (buffer.find('\n') != std::string::npos || buffer.size() > kMaxLine) std::abort();
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t piece = 1 + data[0] % 64;
  const std::string_view stream(reinterpret_cast<const char*>(data) + 1, size - 1);
  const Outcome whole = frame(stream, stream.size() + 1);
  const Outcome cut = frame(stream, piece);
  if (whole.messages != cut.messages || whole.dropped != cut.dropped ||
      whole.overlong != cut.overlong) {
    std::abort();
  }
  return 0;
}
