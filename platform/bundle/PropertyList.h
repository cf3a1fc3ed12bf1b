// XML property lists: the top-level dictionary's simple values as text.
#pragma once

#include <map>
#include <string>
#include <string_view>

namespace platform::bundle {

// Keys of the top-level <dict> with their <string>, <integer> or <real> text, or "true" /
// "false"; nested arrays and dictionaries are left out. Empty when the file is not a list.
std::map<std::string, std::string> readPropertyList(const std::string& path);
std::map<std::string, std::string> parsePropertyList(std::string_view xml);
// A property list of string values, as XML text.
std::string writePropertyList(const std::map<std::string, std::string>& values);

}  // namespace platform::bundle
