// The mount table parser on arbitrary bytes: no crash, and every mount it returns is complete.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "mounts/Mounts.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  for (const auto& mount : platform::mounts::parseMountInfo(text)) {
    if (mount.mountPoint.empty() || mount.fsType.empty() || mount.type.empty()) std::abort();
    platform::mounts::isUserVisibleVolume(mount);
  }
  return 0;
}
