// Splitting text at every occurrence of a separator.
#pragma once

#include <string_view>
#include <vector>

namespace platform::text {

// The pieces between separators, in order; a separator at the end gives a last, empty piece,
// and empty text gives one empty piece. The views point into text.
std::vector<std::string_view> split(std::string_view text, std::string_view separator);

}  // namespace platform::text
