#include "text/Format.h"

#include <cctype>
#include <cstdio>

namespace platform::text {

std::string format(std::string_view fmt, const std::vector<std::string>& args) {
  std::string out;
  out.reserve(fmt.size());
  size_t next = 0;
  for (size_t i = 0; i < fmt.size(); ++i) {
    if (fmt[i] != '%' || i + 1 >= fmt.size()) {
      out += fmt[i];
      continue;
    }
    if (fmt[i + 1] == '%') {
      out += '%';
      ++i;
      continue;
    }
    if (fmt[i + 1] == '@') {
      if (next < args.size()) out += args[next];
      ++next;
      ++i;
      continue;
    }
    // Positional form "%N$@".
    size_t j = i + 1;
    size_t index = 0;
    while (j < fmt.size() && std::isdigit(static_cast<unsigned char>(fmt[j]))) {
      index = index * 10 + static_cast<size_t>(fmt[j] - '0');
      ++j;
    }
    if (j > i + 1 && j + 1 < fmt.size() && fmt[j] == '$' && fmt[j + 1] == '@' && index >= 1) {
      if (index <= args.size()) out += args[index - 1];
      i = j + 1;
      continue;
    }
    out += fmt[i];
  }
  return out;
}

std::string byteCount(uint64_t bytes) {
  if (bytes == 0) return "Zero bytes";
  if (bytes == 1) return "1 byte";
  if (bytes < 1000) return std::to_string(bytes) + " bytes";
  static const char* const units[] = {"KB", "MB", "GB", "TB", "PB"};
  constexpr size_t kLast = sizeof units / sizeof units[0] - 1;
  double value = static_cast<double>(bytes) / 1000.0;
  size_t unit = 0;
  // 999,960 bytes read 1.0 MB, not 1000.0 KB: the rounded value decides the unit.
  const auto rounded = [](double v) { return v < 99.95 ? v : static_cast<double>(static_cast<uint64_t>(v + 0.5)); };
  while (unit < kLast && rounded(value) >= 1000.0) {
    value /= 1000.0;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, value < 99.95 ? "%.1f %s" : "%.0f %s", value, units[unit]);
  return text;
}

}  // namespace platform::text
