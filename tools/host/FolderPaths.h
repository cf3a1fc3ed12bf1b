// Paths as a host of Finder Sync extensions compares them: absolute, normalised, without a
// trailing slash.
#pragma once

#include <optional>
#include <set>
#include <string>
#include <vector>

namespace pellora::host {

// path made absolute (against the working folder) and normalised; "/" stays "/".
std::string normalPath(const std::string& path);
// True when path is folder or lies below it (both normal).
bool isAtOrBelow(const std::string& path, const std::string& folder);
// True when path is at or below one of folders.
bool isCovered(const std::string& path, const std::set<std::string>& folders);
// The folder holding path (normal); "/" for "/".
std::string parentOf(const std::string& path);
// path + "/" + name, without doubling the slash of "/".
std::string childOf(const std::string& folder, const std::string& name);
// The names a file manager shows in folder, in name order (byte order; hidden "." names left out),
// or nothing when folder is not a readable folder.
std::optional<std::vector<std::string>> listItems(const std::string& folder);

}  // namespace pellora::host
