// Any bytes as an Info.plist: the reader must not crash, and what it reads must survive being
// written out and read again. The same bytes cut at NULs into keys and values make a table that
// must survive being written and read.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <string_view>

#include "bundle/PropertyList.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  namespace bundle = platform::bundle;
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const auto values = bundle::parsePropertyList(bytes);
  if (bundle::parsePropertyList(bundle::writePropertyList(values)) != values) std::abort();

  std::map<std::string, std::string> table;
  size_t at = 0;
  while (at < bytes.size()) {
    const size_t keyEnd = std::min(bytes.find('\0', at), bytes.size());
    const size_t valueEnd = std::min(bytes.find('\0', std::min(keyEnd + 1, bytes.size())), bytes.size());
    std::string key(bytes.substr(at, keyEnd - at));
    std::string value(keyEnd < bytes.size() ? bytes.substr(keyEnd + 1, valueEnd - keyEnd - 1) : "");
    if (!key.empty()) table[std::move(key)] = std::move(value);
    at = valueEnd + 1;
  }
  if (bundle::parsePropertyList(bundle::writePropertyList(table)) != table) std::abort();
  return 0;
}
