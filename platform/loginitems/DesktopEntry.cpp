#include "loginitems/DesktopEntry.h"

#include <algorithm>

namespace platform::loginitems {
namespace {

constexpr std::string_view kGroup = "[Desktop Entry]";

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

// The escapes of the "string" value type.
std::string unescape(std::string_view raw) {
  std::string out;
  for (size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] != '\\' || i + 1 == raw.size()) {
      out += raw[i];
      continue;
    }
    switch (raw[++i]) {
      case 's': out += ' '; break;
      case 'n': out += '\n'; break;
      case 't': out += '\t'; break;
      case 'r': out += '\r'; break;
      case '\\': out += '\\'; break;
      default: out += '\\'; out += raw[i]; break;
    }
  }
  return out;
}

std::string escape(std::string_view value) {
  std::string out;
  for (size_t i = 0; i < value.size(); ++i) {
    const char c = value[i];
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      case '\r': out += "\\r"; break;
      // Blanks at the start would be taken for the space around "=".
      case ' ': out += i == 0 ? "\\s" : " "; break;
      default: out += c; break;
    }
  }
  return out;
}

bool needsQuotes(std::string_view arg) {
  if (arg.empty()) return true;
  return arg.find_first_of(" \t\n\"'\\><~|&;$*?#()`") != std::string_view::npos;
}

}  // namespace

std::optional<DesktopEntry> DesktopEntry::parse(std::string_view text) {
  DesktopEntry entry;
  bool inGroup = false;
  bool found = false;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view line = trim(text.substr(start, end - start));
    start = end + 1;
    if (line.empty() || line[0] == '#') continue;
    if (line[0] == '[') {
      inGroup = line == kGroup;
      found = found || inGroup;
      continue;
    }
    if (!inGroup) continue;
    const size_t eq = line.find('=');
    if (eq == std::string_view::npos) continue;
    const std::string key(trim(line.substr(0, eq)));
    if (key.empty() || key.find('[') != std::string::npos) continue;
    entry.set(key, unescape(trim(line.substr(eq + 1))));
  }
  if (!found) return std::nullopt;
  return entry;
}

std::optional<std::string> DesktopEntry::value(const std::string& key) const {
  for (const auto& [k, v] : entries_) {
    if (k == key) return v;
  }
  return std::nullopt;
}

void DesktopEntry::set(const std::string& key, const std::string& value) {
  for (auto& [k, v] : entries_) {
    if (k == key) {
      v = value;
      return;
    }
  }
  entries_.emplace_back(key, value);
}

void DesktopEntry::remove(const std::string& key) {
  entries_.erase(std::remove_if(entries_.begin(), entries_.end(),
                                [&](const auto& e) { return e.first == key; }),
                 entries_.end());
}

std::string DesktopEntry::text() const {
  std::string out = std::string(kGroup) + "\n";
  for (const auto& [k, v] : entries_) out += k + "=" + escape(v) + "\n";
  return out;
}

std::string DesktopEntry::execValue(const std::vector<std::string>& argv) {
  std::string out;
  for (const auto& arg : argv) {
    if (!out.empty()) out += ' ';
    const bool quote = needsQuotes(arg);
    if (quote) out += '"';
    for (const char c : arg) {
      if (c == '%') {
        out += "%%";
      } else if (quote && (c == '"' || c == '`' || c == '$' || c == '\\')) {
        out += '\\';
        out += c;
      } else {
        out += c;
      }
    }
    if (quote) out += '"';
  }
  return out;
}

std::optional<std::vector<std::string>> DesktopEntry::execArguments(std::string_view exec) {
  std::vector<std::string> out;
  std::string current;
  bool inArg = false;
  bool quoted = false;
  bool dropped = false;  // the argument held a field code
  const auto finish = [&] {
    if (inArg && !(dropped && current.empty())) out.push_back(current);
    current.clear();
    inArg = false;
    dropped = false;
  };
  for (size_t i = 0; i < exec.size(); ++i) {
    const char c = exec[i];
    if (quoted) {
      if (c == '"') {
        quoted = false;
      } else if (c == '\\' && i + 1 < exec.size() &&
                 std::string_view("\"`$\\").find(exec[i + 1]) != std::string_view::npos) {
        current += exec[++i];
      } else if (c == '%' && i + 1 < exec.size() && exec[i + 1] == '%') {
        current += exec[++i];
      } else {
        current += c;
      }
      continue;
    }
    if (c == ' ' || c == '\t' || c == '\n') {
      finish();
      continue;
    }
    inArg = true;
    if (c == '"') {
      quoted = true;
    } else if (c == '%' && i + 1 < exec.size()) {
      if (exec[++i] == '%') {
        current += '%';
      } else {
        dropped = true;
      }
    } else {
      current += c;
    }
  }
  if (quoted) return std::nullopt;
  finish();
  return out;
}

}  // namespace platform::loginitems
