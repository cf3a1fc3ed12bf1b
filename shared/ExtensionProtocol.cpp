#include "ExtensionProtocol.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <utility>

namespace pellora::protocol {

using nlohmann::json;

namespace {

json withValue(const char* command, json value) {
  return json{{kCommand, command}, {kValue, std::move(value)}};
}

// The length of the well-formed UTF-8 sequence at the start of text (which starts with a byte
// of 0x80 or more), or 0. Overlong forms, surrogates and code points past U+10FFFF are not
// UTF-8; the JSON reader and writer judge the same way.
size_t utf8Sequence(std::string_view text) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (text.size() < length || byte(1) < low || byte(1) > high) return 0;
  for (size_t i = 2; i < length; ++i) {
    if (byte(i) < 0x80 || byte(i) > 0xBF) return 0;
  }
  return length;
}

constexpr std::string_view kBadgeLines[] = {R"({"command":"getFileIconId","value":")",
                                            R"({"command":"startObservingFolder","value":")"};
constexpr std::string_view kLineEnd = R"("})";

// The byte of a JSON string's escape, after the backslash; -1 for \u and for what JSON lacks.
int unescaped(char c) {
  switch (c) {
    case '"':
      return '"';
    case '\\':
      return '\\';
    case '/':
      return '/';
    case 'b':
      return '\b';
    case 'f':
      return '\f';
    case 'n':
      return '\n';
    case 'r':
      return '\r';
    case 't':
      return '\t';
    default:
      return -1;
  }
}

// The code point of the four hexadecimal digits of a \u escape when it is ASCII, else -1.
int asciiEscape(std::string_view digits) {
  int code = 0;
  for (const char d : digits) {
    const int v = d >= '0' && d <= '9'   ? d - '0'
                  : d >= 'a' && d <= 'f' ? d - 'a' + 10
                  : d >= 'A' && d <= 'F' ? d - 'A' + 10
                                         : -1;
    if (v < 0) return -1;
    code = code * 16 + v;
  }
  return code < 0x80 ? code : -1;
}

// How many bytes from the start of text a JSON string holds as they are, with no second look:
// printable ASCII other than the quote and the backslash. Looks at eight bytes at a time.
size_t plainRun(std::string_view text) {
  constexpr uint64_t kOnes = 0x0101010101010101;
  constexpr uint64_t kHigh = 0x8080808080808080;
  size_t i = 0;
  for (; i + 8 <= text.size(); i += 8) {
    uint64_t w;
    std::memcpy(&w, text.data() + i, 8);
    const uint64_t quote = w ^ (kOnes * '"');
    const uint64_t backslash = w ^ (kOnes * '\\');
    // High bits of bytes of 0x80 or more, below 0x20, or equal to either character.
    const uint64_t special = (w | ((w - kOnes * 0x20) & ~w) | ((quote - kOnes) & ~quote) |
                              ((backslash - kOnes) & ~backslash)) &
                             kHigh;
    if (special != 0) break;
  }
  for (; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c >= 0x80 || c == '"' || c == '\\') break;
  }
  return i;
}

struct Keyed {
  uint64_t key;
  uint32_t index;
};

// Orders by key and keeps the given order among equal keys: stable passes over one byte each,
// skipping a byte that every key has alike.
void sortByKey(std::vector<Keyed>& items) {
  std::vector<Keyed> buffer(items.size());
  for (int shift = 0; shift < 64; shift += 8) {
    size_t count[256] = {};
    for (const Keyed& k : items) ++count[(k.key >> shift) & 0xFF];
    if (count[(items.front().key >> shift) & 0xFF] == items.size()) continue;
    size_t at = 0;
    for (size_t& c : count) at += std::exchange(c, at);
    for (const Keyed& k : items) buffer[count[(k.key >> shift) & 0xFF]++] = k;
    items.swap(buffer);
  }
}

// The first 8 bytes of text from at on, in an integer that orders as the bytes do.
uint64_t orderKey(std::string_view text, size_t at) {
  if (at + 8 <= text.size()) {
    uint64_t word;
    std::memcpy(&word, text.data() + at, 8);
    // The first byte the most significant.
    if constexpr (std::endian::native == std::endian::little) word = __builtin_bswap64(word);
    return word;
  }
  uint64_t key = 0;
  for (size_t i = 0; i < 8; ++i) {
    key <<= 8;
    if (at + i < text.size()) key |= static_cast<unsigned char>(text[at + i]);
  }
  return key;
}

}  // namespace

json setFileIcons(const std::map<std::string, std::string>& badges) {
  json value = json::object();
  for (const auto& [path, badge] : badges) value[path] = badge;
  return withValue(kSetFileIcons, std::move(value));
}

json setFilterPaths(const std::vector<std::string>& roots) {
  return withValue(kSetFilterPaths, roots);
}

json registerIconWithId(const std::string& imagePath, const std::string& label,
                        const std::string& iconId) {
  return withValue(kRegisterIconWithId, {{kPath, imagePath}, {kLabel, label}, {kIconId, iconId}});
}

json getFileIconId(const std::string& path) { return withValue(kGetFileIconId, path); }

json openedDir(const std::string& folderPath) {
  return json{{kCommand, kOpenedDir}, {kPath, folderPath}};
}

json bringFileOnline(const std::vector<std::string>& paths) {
  return json{{kCommand, kBringFileOnline}, {kPaths, paths}};
}

json networkAccess(const std::string& state) { return withValue(kNetworkAccess, state); }

std::string encode(const json& message) {
  try {
    return message.dump();
  } catch (const json::exception&) {
    return {};
  }
}

std::optional<std::string> encodeEscapingSlashes(const json& message) {
  std::string text;
  try {
    text = message.dump();
  } catch (const json::exception&) {
    return std::nullopt;
  }
  // A "/" can only stand inside a string in JSON text, so escaping every one is safe.
  std::string escaped;
  escaped.reserve(text.size() + text.size() / 8);
  for (const char c : text) {
    if (c == '/') escaped += '\\';
    escaped += c;
  }
  return escaped;
}

std::string frame(std::string_view text) {
  std::string out;
  out.reserve(text.size() + kFrameEnd.size());
  out.append(text);
  out.append(kFrameEnd);
  return out;
}

std::optional<json> decode(std::string_view text) {
  json value = json::parse(text.begin(), text.end(), nullptr, false);
  if (value.is_discarded()) return std::nullopt;
  return value;
}

const std::string* text(const json& message, const char* key) {
  const json* m = member(message, key);
  return m && m->is_string() ? m->get_ptr<const std::string*>() : nullptr;
}

std::optional<std::vector<std::string>> texts(const json& message, const char* key) {
  const json* m = member(message, key);
  if (!m || !m->is_array()) return std::nullopt;
  std::vector<std::string> out;
  out.reserve(m->size());
  for (const auto& v : *m) {
    if (!v.is_string()) return std::nullopt;
    out.push_back(v.get<std::string>());
  }
  return out;
}

const json* member(const json& message, const char* key) {
  if (!message.is_object()) return nullptr;
  const auto it = message.find(key);
  return it == message.end() ? nullptr : &*it;
}

std::optional<std::string_view> badgeRequestPath(std::string_view line, std::string& scratch) {
  std::string_view value;
  bool known = false;
  for (const std::string_view start : kBadgeLines) {
    known = line.size() >= start.size() + kLineEnd.size() &&
            line.substr(0, start.size()) == start &&
            line.substr(line.size() - kLineEnd.size()) == kLineEnd;
    if (!known) continue;
    value = line.substr(start.size(), line.size() - start.size() - kLineEnd.size());
    break;
  }
  if (!known) return std::nullopt;
  // Escapes found so far are written to scratch; until the first one the value is the path.
  bool escaped = false;
  size_t plainFrom = 0;
  for (size_t i = 0; i < value.size();) {
    i += plainRun(value.substr(i));
    if (i == value.size()) break;
    const auto c = static_cast<unsigned char>(value[i]);
    if (c >= 0x80) {
      const size_t length = utf8Sequence(value.substr(i));
      if (length == 0) return std::nullopt;
      i += length;
      continue;
    }
    // A raw control character is no JSON; a raw quote would end the string before the end.
    if (c != '\\') return std::nullopt;
    if (i + 1 >= value.size()) return std::nullopt;
    size_t length = 2;
    int replacement = unescaped(value[i + 1]);
    if (value[i + 1] == 'u') {
      // The writer spells control characters \u00XX; other \u escapes are the reader's.
      length = 6;
      replacement = i + 6 <= value.size() ? asciiEscape(value.substr(i + 2, 4)) : -1;
    }
    if (replacement < 0) return std::nullopt;
    if (!escaped) scratch.clear();
    escaped = true;
    scratch.append(value, plainFrom, i - plainFrom);
    scratch += static_cast<char>(replacement);
    i += length;
    plainFrom = i;
  }
  if (!escaped) return value;
  scratch.append(value, plainFrom);
  return std::string_view(scratch);
}

bool appendQuoted(std::string& out, std::string_view text) {
  const size_t before = out.size();
  out += '"';
  if (!appendEscaped(out, text)) {
    out.resize(before);
    return false;
  }
  out += '"';
  return true;
}

bool appendEscaped(std::string& out, std::string_view text) {
  const size_t before = out.size();
  size_t plainFrom = 0;
  for (size_t i = 0; i < text.size();) {
    i += plainRun(text.substr(i));
    if (i == text.size()) break;
    const auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x80) {
      const size_t length = utf8Sequence(text.substr(i));
      if (length == 0) {
        out.resize(before);
        return false;
      }
      i += length;
      continue;
    }
    out.append(text, plainFrom, i - plainFrom);
    out += '\\';
    switch (c) {
      case '"':
        out += '"';
        break;
      case '\\':
        out += '\\';
        break;
      case '\b':
        out += 'b';
        break;
      case '\t':
        out += 't';
        break;
      case '\n':
        out += 'n';
        break;
      case '\f':
        out += 'f';
        break;
      case '\r':
        out += 'r';
        break;
      default: {
        static constexpr char kHex[] = "0123456789abcdef";
        out += "u00";
        out += kHex[c >> 4];
        out += kHex[c & 0xF];
      }
    }
    plainFrom = ++i;
  }
  out.append(text, plainFrom);
  return true;
}

std::string encodeSetFileIcons(std::vector<BadgeEntry>& entries) {
  // Keys in byte order, as the JSON writer orders an object's keys. Paths share a long prefix
  // (the share's root), so they are ordered by the 8 bytes after it first, and by the rest only
  // when those are equal; equal paths by their place, so that the last of them wins.
  const std::string_view some = entries.empty() ? std::string_view() : entries.front().path;
  size_t common = some.size();
  size_t size = 64;
  for (const BadgeEntry& e : entries) {
    const size_t limit = std::min(common, e.path.size());
    if (std::memcmp(some.data(), e.path.data(), limit) == 0) {
      common = limit;
    } else {
      common = static_cast<size_t>(
          std::mismatch(some.begin(), some.begin() + limit, e.path.begin()).first - some.begin());
    }
    size += e.path.size() + e.badge.size() + 6;
  }
  std::vector<Keyed> order(entries.size());
  for (size_t i = 0; i < entries.size(); ++i) {
    order[i] = {orderKey(entries[i].path, common), static_cast<uint32_t>(i)};
  }
  const auto byRest = [&](const Keyed& a, const Keyed& b) {
    const int rest =
        entries[a.index].path.substr(common).compare(entries[b.index].path.substr(common));
    return rest != 0 ? rest < 0 : a.index < b.index;
  };
  if (order.size() > 1) sortByKey(order);
  for (auto run = order.begin(); run != order.end();) {
    const auto end =
        std::find_if(run, order.end(), [&](const Keyed& k) { return k.key != run->key; });
    if (end - run > 1) std::sort(run, end, byRest);
    run = end;
  }

  std::string out;
  out.reserve(size);
  out = R"({"command":"setFileIcons","value":{)";
  bool first = true;
  for (size_t i = 0; i < order.size(); ++i) {
    const BadgeEntry& e = entries[order[i].index];
    if (i + 1 < order.size() && order[i + 1].key == order[i].key &&
        entries[order[i + 1].index].path == e.path) {
      continue;  // a later entry for the same path follows
    }
    out.append(first ? "\"" : ",\"");
    first = false;
    if (e.verbatim) {
      out.append(e.path);
    } else if (!appendEscaped(out, e.path)) {
      return {};
    }
    out.append("\":\"");
    if (!appendEscaped(out, e.badge)) return {};
    out += '"';
  }
  out += "}}";
  return out;
}

}  // namespace pellora::protocol
