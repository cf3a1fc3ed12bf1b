// printf-style formatting with text arguments, as the platform's string formatting does it for
// "%@": each "%@" (or "%N$@") takes the next (or the N-th) text; "%%" is a percent sign.
// Other directives are copied as they are.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace platform::text {

std::string format(std::string_view format, const std::vector<std::string>& args);

}  // namespace platform::text
