#include "bundle/StringsTable.h"

#include <fstream>
#include <sstream>

namespace platform::bundle {
namespace {

class Reader {
 public:
  explicit Reader(std::string_view text) : text_(text) {}

  // Skips blanks and comments; false at the end.
  bool skip() {
    while (pos_ < text_.size()) {
      const char c = text_[pos_];
      if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
        ++pos_;
      } else if (text_.compare(pos_, 2, "/*") == 0) {
        const size_t end = text_.find("*/", pos_ + 2);
        pos_ = end == std::string_view::npos ? text_.size() : end + 2;
      } else if (text_.compare(pos_, 2, "//") == 0) {
        const size_t end = text_.find('\n', pos_);
        pos_ = end == std::string_view::npos ? text_.size() : end + 1;
      } else {
        return true;
      }
    }
    return false;
  }

  bool expect(char c) {
    if (!skip() || text_[pos_] != c) return false;
    ++pos_;
    return true;
  }

  bool quoted(std::string& out) {
    if (!expect('"')) return false;
    out.clear();
    while (pos_ < text_.size()) {
      const char c = text_[pos_++];
      if (c == '"') return true;
      if (c != '\\' || pos_ >= text_.size()) {
        out += c;
        continue;
      }
      const char e = text_[pos_++];
      switch (e) {
        case 'n': out += '\n'; break;
        case 't': out += '\t'; break;
        case 'r': out += '\r'; break;
        default: out += e; break;  // \" \\ and anything else stand for themselves
      }
    }
    return false;
  }

  // Moves past the next ';' after an entry that could not be read.
  void recover() {
    const size_t end = text_.find(';', pos_);
    pos_ = end == std::string_view::npos ? text_.size() : end + 1;
  }

 private:
  std::string_view text_;
  size_t pos_ = 0;
};

}  // namespace

std::map<std::string, std::string> parseStringsTable(std::string_view text) {
  std::map<std::string, std::string> out;
  Reader reader(text);
  while (reader.skip()) {
    std::string key, value;
    if (reader.quoted(key) && reader.expect('=') && reader.quoted(value) && reader.expect(';')) {
      out[key] = value;
    } else {
      reader.recover();
    }
  }
  return out;
}

std::map<std::string, std::string> readStringsTable(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  std::stringstream text;
  text << in.rdbuf();
  return parseStringsTable(text.str());
}

}  // namespace platform::bundle
