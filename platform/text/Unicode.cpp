#include "text/Unicode.h"

#include <utf8proc.h>

#include <cstdlib>

namespace platform::text {

std::string decomposed(std::string_view text) {
  utf8proc_uint8_t* out = nullptr;
  const utf8proc_ssize_t n = utf8proc_map(reinterpret_cast<const utf8proc_uint8_t*>(text.data()),
                                          static_cast<utf8proc_ssize_t>(text.size()), &out,
                                          static_cast<utf8proc_option_t>(UTF8PROC_DECOMPOSE));
  if (n < 0) return std::string(text);
  std::string result(reinterpret_cast<char*>(out), static_cast<size_t>(n));
  std::free(out);
  return result;
}

}  // namespace platform::text
