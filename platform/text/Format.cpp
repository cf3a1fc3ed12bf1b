#include "text/Format.h"

#include <cctype>

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

}  // namespace platform::text
