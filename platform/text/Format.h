// printf-style formatting with text arguments, as the platform's string formatting does it for
// "%@": each "%@" (or "%N$@") takes the next (or the N-th) text; "%%" is a percent sign.
// Other directives are copied as they are.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace platform::text {

std::string format(std::string_view format, const std::vector<std::string>& args);

// A size in bytes as the platform shows file sizes: "Zero bytes", "1 byte", "512 bytes", then in
// powers of 1000 with one decimal below 100 of the unit and none from there: "4.1 KB",
// "12.3 MB", "123 GB", up to PB.
std::string byteCount(uint64_t bytes);

}  // namespace platform::text
