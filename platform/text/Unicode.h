// Unicode normalisation of UTF-8 text.
#pragma once

#include <string>
#include <string_view>

namespace platform::text {

// Canonical decomposition (NFD), as the platform's file URLs use it; text that is not valid
// UTF-8 comes back unchanged.
std::string decomposed(std::string_view text);

}  // namespace platform::text
