// Small file-descriptor helpers that every writer of our own files needs.
#pragma once

#include <string_view>

namespace platform::paths {

// Writes all of bytes to fd, again after EINTR and short writes; false on any other failure.
[[nodiscard]] bool writeAll(int fd, std::string_view bytes);

}  // namespace platform::paths
