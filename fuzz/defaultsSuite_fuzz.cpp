// The defaults suite file reader on arbitrary bytes: no crash, and what it reads is written
// back to bytes that read as the same keys.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "defaults/SuiteFile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const auto keys = platform::defaults::parseSuite(bytes);
  if (!keys) return 0;
  const auto again = platform::defaults::parseSuite(platform::defaults::serializeSuite(*keys));
  if (!again || *again != *keys) std::abort();
  return 0;
}
