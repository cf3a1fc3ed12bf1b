#include "updater/Version.h"

#include <cctype>
#include <vector>

namespace platform::updater {
namespace {

struct Part {
  bool number;
  std::string_view text;  // a number without its leading zeros
};

bool isDigit(char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; }
bool isLetter(char c) { return std::isalpha(static_cast<unsigned char>(c)) != 0; }

std::vector<Part> split(std::string_view version) {
  std::vector<Part> parts;
  size_t i = 0;
  while (i < version.size()) {
    const char c = version[i];
    if (!isDigit(c) && !isLetter(c)) {
      ++i;
      continue;
    }
    const bool number = isDigit(c);
    const size_t start = i;
    while (i < version.size() && (number ? isDigit(version[i]) : isLetter(version[i]))) ++i;
    std::string_view text = version.substr(start, i - start);
    if (number) {
      while (text.size() > 1 && text.front() == '0') text.remove_prefix(1);
    }
    parts.push_back({number, text});
  }
  return parts;
}

// Numbers of any length, without converting them.
int compareNumbers(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
  const int c = a.compare(b);
  return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

// What the rest of a longer version adds: later numbers other than zero make it newer, a
// letter run (a pre-release tag) makes it older.
int remainder(const std::vector<Part>& parts, size_t from) {
  for (size_t i = from; i < parts.size(); ++i) {
    if (!parts[i].number) return -1;
    if (parts[i].text != "0") return 1;
  }
  return 0;
}

}  // namespace

int compareVersions(std::string_view a, std::string_view b) {
  const auto left = split(a);
  const auto right = split(b);
  const size_t common = std::min(left.size(), right.size());
  for (size_t i = 0; i < common; ++i) {
    const Part& l = left[i];
    const Part& r = right[i];
    if (l.number && r.number) {
      if (const int c = compareNumbers(l.text, r.text); c != 0) return c;
      continue;
    }
    if (l.number != r.number) return l.number ? 1 : -1;
    if (const int c = l.text.compare(r.text); c != 0) return c < 0 ? -1 : 1;
  }
  if (left.size() > common) return remainder(left, common);
  if (right.size() > common) return -remainder(right, common);
  return 0;
}

}  // namespace platform::updater
