// Any bytes as request text: the dispatcher must not crash, and its answer is valid JSON of
// the answer's shape or the empty text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>

#include "core/RequestDispatcher.h"
#include "dispatch/RunLoop.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const auto dispatcher = RequestDispatcher::create(nullptr);
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::string answer = dispatcher->commandQuery(text);
  if (!answer.empty()) {
    const auto json = nlohmann::json::parse(answer, nullptr, false);
    if (json.is_discarded() || json["command"] != "setFileIcons" || !json["value"].is_object()) {
      std::abort();
    }
  }
  // Bring-online requests queue work for the main queue; serve it so that it does not pile up.
  platform::dispatch::RunLoop::main()->runUntil([] { return dispatcher->queuedRequests() == 0; },
                                                std::chrono::seconds(1));
  return 0;
}
