#include "ServiceLockFile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

namespace {

namespace fs = std::filesystem;

// Valid UTF-8 for any bytes: each maximal ill-formed subsequence becomes U+FFFD.
std::string repairedUtf8(std::string_view in) {
  static constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
  std::string out;
  out.reserve(in.size());
  size_t i = 0;
  while (i < in.size()) {
    const auto b = static_cast<unsigned char>(in[i]);
    if (b < 0x80) {
      out += static_cast<char>(b);
      ++i;
      continue;
    }
    int need = 0;
    unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
    if (b >= 0xC2 && b <= 0xDF) {
      need = 1;
    } else if (b >= 0xE0 && b <= 0xEF) {
      need = 2;
      if (b == 0xE0) low = 0xA0;
      if (b == 0xED) high = 0x9F;
    } else if (b >= 0xF0 && b <= 0xF4) {
      need = 3;
      if (b == 0xF0) low = 0x90;
      if (b == 0xF4) high = 0x8F;
    } else {
      out += kReplacement;
      ++i;
      continue;
    }
    size_t j = i + 1;
    bool complete = true;
    for (int k = 0; k < need; ++k, ++j) {
      if (j >= in.size()) {
        complete = false;
        break;
      }
      const auto c = static_cast<unsigned char>(in[j]);
      const unsigned char lo = k == 0 ? low : 0x80;
      const unsigned char hi = k == 0 ? high : 0xBF;
      if (c < lo || c > hi) {
        complete = false;
        break;
      }
    }
    if (complete) {
      out.append(in.substr(i, j - i));
    } else {
      out += kReplacement;
    }
    i = j;
  }
  return out;
}

bool isSpace(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
         c == 0x205F || c == 0x3000;
}

// The code point that starts at i of valid UTF-8, and its length.
char32_t decodeAt(std::string_view s, size_t i, size_t& length) {
  const auto b = static_cast<unsigned char>(s[i]);
  if (b < 0x80) {
    length = 1;
    return b;
  }
  length = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : 2;
  char32_t c = b & (0x7F >> length);
  for (size_t k = 1; k < length; ++k) c = (c << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
  return c;
}

// Unicode white space and line ends off both ends of valid UTF-8.
std::string_view trimmed(std::string_view s) {
  size_t length = 0;
  while (!s.empty() && isSpace(decodeAt(s, 0, length))) s.remove_prefix(length);
  while (!s.empty()) {
    size_t start = s.size() - 1;
    while (start > 0 && (static_cast<unsigned char>(s[start]) & 0xC0) == 0x80) --start;
    if (!isSpace(decodeAt(s, start, length))) break;
    s.remove_suffix(s.size() - start);
  }
  return s;
}

// The pieces between commas, empty ones dropped.
std::vector<std::string_view> pieces(std::string_view s) {
  std::vector<std::string_view> out;
  size_t start = 0;
  while (start <= s.size()) {
    size_t end = s.find(',', start);
    if (end == std::string_view::npos) end = s.size();
    if (end > start) out.push_back(s.substr(start, end - start));
    start = end + 1;
  }
  return out;
}

// A decimal 32-bit integer with an optional sign, nothing else around it.
std::optional<int32_t> parseInt32(std::string_view s) {
  const bool plus = !s.empty() && s[0] == '+';
  if (plus) s.remove_prefix(1);
  if (s.empty() || s[0] == '+' || (plus && s[0] == '-')) return std::nullopt;
  int32_t value = 0;
  const auto [end, error] = std::from_chars(s.data(), s.data() + s.size(), value);
  if (error != std::errc() || end != s.data() + s.size()) return std::nullopt;
  return value;
}

bool validUtf8(std::string_view s) { return repairedUtf8(s) == s; }

std::optional<std::string> readWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream out;
  out << in.rdbuf();
  if (in.bad()) return std::nullopt;
  return out.str();
}

}  // namespace

std::string ServiceLockFile::hiddenFolderPath(const std::string& home) { return home + "/.zavroPellora"; }

std::string ServiceLockFile::lockFilePath(const std::string& home) {
  return hiddenFolderPath(home) + "/service.lock";
}

std::string ServiceLockFile::standbyMarkerPath(const std::string& home) {
  return hiddenFolderPath(home) + "/service.standby";
}

void ServiceLockFile::createHiddenFolder(const std::string& home) {
  const std::string folder = hiddenFolderPath(home);
  std::error_code ec;
  fs::create_directories(folder, ec);
  ::chmod(folder.c_str(), 0700);
}

int ServiceLockFile::openForHolder(const std::string& home) {
  return ::open(lockFilePath(home).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
}

int ServiceLockFile::openForProbe(const std::string& home) {
  return ::open(lockFilePath(home).c_str(), O_RDONLY | O_CLOEXEC);
}

std::string ServiceLockFile::holderLine(int32_t pid, const std::string& version) {
  return std::to_string(pid) + "," + (version.empty() ? "0" : version) + "\n";
}

bool ServiceLockFile::writeHolderLine(int fd, int32_t pid, const std::string& version) {
  const std::string line = holderLine(pid, version);
  if (::ftruncate(fd, 0) != 0) return false;
  return ::pwrite(fd, line.data(), line.size(), 0) == static_cast<ssize_t>(line.size());
}

std::optional<LockHolder> ServiceLockFile::parseLockHolder(std::string_view bytes) {
  bytes = bytes.substr(0, bytes.find('\0'));
  const std::string text = repairedUtf8(bytes);
  const auto parts = pieces(trimmed(text));
  if (parts.size() != 2) return std::nullopt;
  const auto pid = parseInt32(parts[0]);
  if (!pid || *pid <= 0) return std::nullopt;
  return LockHolder{*pid, std::string(parts[1])};
}

std::optional<LockHolder> ServiceLockFile::readLockHolder(int fd) {
  char buffer[64] = {};
  const ssize_t n = ::pread(fd, buffer, 63, 0);
  if (n <= 0) return std::nullopt;
  return parseLockHolder(std::string_view(buffer, static_cast<size_t>(n)));
}

std::optional<LockHolder> ServiceLockFile::runningHolder(const std::string& home) {
  const int fd = openForProbe(home);
  if (fd < 0) return std::nullopt;
  std::optional<LockHolder> holder;
  if (::flock(fd, LOCK_SH | LOCK_NB) == 0) {
    ::flock(fd, LOCK_UN);
  } else {
    holder = readLockHolder(fd);
  }
  ::close(fd);
  return holder;
}

std::optional<int32_t> ServiceLockFile::parseHolderPid(std::string_view text) {
  if (!validUtf8(text)) return std::nullopt;
  const auto parts = pieces(text);
  if (parts.empty()) return std::nullopt;
  return parseInt32(parts[0]);
}

std::optional<int32_t> ServiceLockFile::readHolderPid(const std::string& lockFile) {
  const auto text = readWhole(lockFile);
  if (!text) return std::nullopt;
  return parseHolderPid(*text);
}

bool ServiceLockFile::writeStandbyMarker(const std::string& home, pid_t pid) {
  const std::string marker = standbyMarkerPath(home);
  std::string temp = marker + ".XXXXXX";
  const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return false;
  const std::string text = std::to_string(pid);
  const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  ::fchmod(fd, 0644);
  ::close(fd);
  if (!written || ::rename(temp.c_str(), marker.c_str()) != 0) {
    ::unlink(temp.c_str());
    return false;
  }
  return true;
}

void ServiceLockFile::removeStandbyMarker(const std::string& home) {
  ::unlink(standbyMarkerPath(home).c_str());
}

std::optional<int32_t> ServiceLockFile::parseStandbyMarker(std::string_view text) {
  const std::string valid = repairedUtf8(text);
  const auto pid = parseInt32(trimmed(valid));
  if (!pid || *pid <= 0) return std::nullopt;
  return pid;
}

std::optional<int32_t> ServiceLockFile::readStandbyMarker(const std::string& home) {
  const auto text = readWhole(standbyMarkerPath(home));
  if (!text) return std::nullopt;
  return parseStandbyMarker(*text);
}
