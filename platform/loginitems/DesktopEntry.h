// XDG desktop entry files: the keys of their "[Desktop Entry]" group, and the Exec command
// line with its quoting, written so that a desktop session runs exactly the given arguments.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace platform::loginitems {

class DesktopEntry {
 public:
  DesktopEntry() = default;
  // Nothing when the text has no "[Desktop Entry]" group. Other groups, comments and
  // localised keys are not kept.
  static std::optional<DesktopEntry> parse(std::string_view text);

  // Values are held unescaped.
  std::optional<std::string> value(const std::string& key) const;
  void set(const std::string& key, const std::string& value);
  void remove(const std::string& key);
  std::string text() const;

  // The Exec value that runs argv, and the arguments an Exec value runs (field codes other
  // than "%%" are dropped). Nothing when the value is not well quoted.
  static std::string execValue(const std::vector<std::string>& argv);
  static std::optional<std::vector<std::string>> execArguments(std::string_view exec);

 private:
  std::vector<std::pair<std::string, std::string>> entries_;
};

}  // namespace platform::loginitems
