// Any bytes as the communication file: the reader must not crash or throw, and a state it reads
// must read the same once written as the application writes it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string_view>

#include "ZVFileManager.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const auto state = ZVFileManager::decodePreviewState(bytes);
  if (!state) return 0;
  const auto again = ZVFileManager::decodePreviewState(
      nlohmann::json({{"previewEnabled", state->previewEnabled}}).dump());
  if (!again || again->previewEnabled != state->previewEnabled) std::abort();
  return 0;
}
