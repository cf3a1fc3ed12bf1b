// Any bytes as the plug-in registry file: the reader must not crash or throw, and what it reads
// must read the same once written in the registry's format.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string_view>

#include "plugins/PluginRegistry.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using platform::plugins::parseRegistry;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto plugins = parseRegistry(text);
  nlohmann::json json = {{"plugins", nlohmann::json::object()}};
  for (const auto& [id, p] : plugins) {
    if (p.identifier != id) std::abort();
    json["plugins"][id] = {{"path", p.path}, {"version", p.version}, {"enabled", p.enabled}};
  }
  const auto again = parseRegistry(json.dump(2));
  if (again.size() != plugins.size()) std::abort();
  for (const auto& [id, p] : plugins) {
    const auto it = again.find(id);
    if (it == again.end() || it->second.path != p.path || it->second.version != p.version ||
        it->second.enabled != p.enabled) {
      std::abort();
    }
  }
  return 0;
}
