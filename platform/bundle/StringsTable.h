// Localised string tables: the "key" = "translation"; lines of a .strings file, with /* */ and
// // comments and the usual backslash escapes.
#pragma once

#include <map>
#include <string>
#include <string_view>

namespace platform::bundle {

std::map<std::string, std::string> parseStringsTable(std::string_view text);
std::map<std::string, std::string> readStringsTable(const std::string& path);

}  // namespace platform::bundle
