// Bundle versions ("CFBundleVersion" and the feed's versions) compared the way people read them.
#pragma once

#include <string_view>

namespace platform::updater {

// Negative, zero or positive as a is older than, the same as or newer than b. Versions are runs
// of digits compared as numbers (1.2.10 is newer than 1.2.9) and runs of letters compared as
// text, split at anything else. Missing trailing numbers count as zero (1.2 equals 1.2.0); a
// letter run where the other version has a number or ends marks a pre-release (1.0b1 is older
// than 1.0).
int compareVersions(std::string_view a, std::string_view b);

}  // namespace platform::updater
