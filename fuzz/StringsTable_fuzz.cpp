// Any bytes as a .strings table: the reader must not crash or hang, and a table written back
// with the format's escapes must read as the same table.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "bundle/StringsTable.h"

namespace {

std::string quoted(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      case '\r': out += "\\r"; break;
      default: out += c; break;
    }
  }
  return out + "\"";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  namespace bundle = platform::bundle;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto table = bundle::parseStringsTable(text);
  std::string written = "/* written back */\n";
  for (const auto& [key, value] : table) written += quoted(key) + " = " + quoted(value) + ";\n";
  if (bundle::parseStringsTable(written) != table) std::abort();
  return 0;
}
