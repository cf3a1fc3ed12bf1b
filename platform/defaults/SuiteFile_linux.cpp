#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "defaults/SuiteFile.h"
#include "paths/Files.h"

namespace platform::defaults {
namespace fs = std::filesystem;
using nlohmann::json;

namespace {

// Suite files are small; anything far larger is not one.
constexpr size_t kMaxFileSize = 8u << 20;

std::optional<Value> fromJson(const json& j, int depth) {
  switch (j.type()) {
    case json::value_t::string:
      return Value(j.get<std::string>());
    case json::value_t::boolean:
      return Value(j.get<bool>());
    case json::value_t::number_integer:
      return Value(j.get<int64_t>());
    case json::value_t::number_unsigned: {
      const uint64_t n = j.get<uint64_t>();
      if (n <= static_cast<uint64_t>(INT64_MAX)) return Value(static_cast<int64_t>(n));
      return Value(static_cast<double>(n));
    }
    case json::value_t::number_float:
      return Value(j.get<double>());
    case json::value_t::array: {
      if (depth >= kMaxDepth) return std::nullopt;
      Value::Array items;
      for (const auto& item : j) {
        if (auto v = fromJson(item, depth + 1)) items.push_back(std::move(*v));
      }
      return Value(std::move(items));
    }
    case json::value_t::object: {
      if (depth >= kMaxDepth) return std::nullopt;
      Value::Dictionary entries;
      for (const auto& [key, item] : j.items()) {
        if (auto v = fromJson(item, depth + 1)) entries.emplace(key, std::move(*v));
      }
      return Value(std::move(entries));
    }
    default:
      return std::nullopt;
  }
}

json toJson(const Value& v) {
  switch (v.kind()) {
    case Value::Kind::Text:
      return *v.text();
    case Value::Kind::Integer:
      return *v.integer();
    case Value::Kind::Real:
      return *v.real();
    case Value::Kind::Boolean:
      return *v.boolean();
    case Value::Kind::Array: {
      json out = json::array();
      for (const auto& item : *v.array()) out.push_back(toJson(item));
      return out;
    }
    case Value::Kind::Dictionary: {
      json out = json::object();
      for (const auto& [key, item] : *v.dictionary()) out[key] = toJson(item);
      return out;
    }
  }
  return nullptr;
}

// Reads the whole file; nothing when it cannot be read or is too large to be a suite.
std::optional<std::string> readFile(const std::string& path, bool& missing) {
  missing = false;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    missing = errno == ENOENT;
    return std::nullopt;
  }
  std::string out;
  char buffer[16384];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      ::close(fd);
      return std::nullopt;
    }
    if (n == 0) break;
    out.append(buffer, static_cast<size_t>(n));
    if (out.size() > kMaxFileSize) {
      ::close(fd);
      return std::nullopt;
    }
  }
  ::close(fd);
  return out;
}

bool syncFolder(const std::string& folder) {
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = ::fsync(fd) == 0;
  ::close(fd);
  return ok;
}

// Temporary files of writers that were killed before their rename. Only a writer that holds
// the lock writes one, so while we hold it, every one there is left over.
void removeLeftovers(const std::string& folder, const std::string& prefix) {
  DIR* dir = ::opendir(folder.c_str());
  if (!dir) return;
  while (dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name.compare(0, prefix.size(), prefix) == 0) ::unlinkat(::dirfd(dir), name.c_str(), 0);
  }
  ::closedir(dir);
}

// Creates the file's folder, private to the user, when it is missing.
bool ensureFolder(const std::string& folder) {
  std::error_code ec;
  if (fs::is_directory(folder, ec)) return true;
  fs::create_directories(fs::path(folder).parent_path(), ec);
  if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return false;
  return fs::is_directory(folder, ec);
}

}  // namespace

std::optional<Dictionary> parseSuite(std::string_view bytes) {
  const json j = json::parse(bytes.begin(), bytes.end(), nullptr, false);
  if (j.is_discarded() || !j.is_object()) return std::nullopt;
  Dictionary out;
  for (const auto& [key, item] : j.items()) {
    if (auto v = fromJson(item, 1)) out.emplace(key, std::move(*v));
  }
  return out;
}

std::string serializeSuite(const Dictionary& keys) {
  json j = json::object();
  for (const auto& [key, value] : keys) j[key] = toJson(value);
  return j.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

SuiteFile::SuiteFile(std::string path) : path_(std::move(path)) {}

bool SuiteFile::write(const Dictionary& keys) const {
  std::string temp = path_ + ".tmp.XXXXXX";
  const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return false;
  const bool written = paths::writeAll(fd, serializeSuite(keys)) && ::fsync(fd) == 0;
  ::close(fd);
  if (!written || ::rename(temp.c_str(), path_.c_str()) != 0) {
    ::unlink(temp.c_str());
    return false;
  }
  // The rename itself reaches the disk only with the folder.
  return syncFolder(fs::path(path_).parent_path().string());
}

std::optional<Dictionary> SuiteFile::read() const {
  bool missing = false;
  const auto bytes = readFile(path_, missing);
  if (!bytes) {
    if (missing) return Dictionary{};
    return std::nullopt;
  }
  return parseSuite(*bytes);
}

bool SuiteFile::update(const Changes& changes) const {
  const std::string folder = fs::path(path_).parent_path().string();
  if (!ensureFolder(folder)) return false;
  // The lock lives on a file of its own: the suite file itself is replaced by rename.
  const int lock = ::open((path_ + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (lock < 0) return false;
  while (::flock(lock, LOCK_EX) != 0) {
    if (errno != EINTR) {
      ::close(lock);
      return false;
    }
  }
  const std::string tempPrefix = fs::path(path_).filename().string() + ".tmp.";
  removeLeftovers(folder, tempPrefix);

  bool ok = false;
  bool missing = false;
  const auto bytes = readFile(path_, missing);
  std::optional<Dictionary> current;
  bool replace = false;
  if (bytes) {
    current = parseSuite(*bytes);
    if (!current) {
      // Keep what cannot be read for the user instead of overwriting it.
      ::rename(path_.c_str(), (path_ + ".corrupt").c_str());
      current = Dictionary{};
      replace = true;
    }
  } else if (missing) {
    current = Dictionary{};
  }
  if (current) {
    Dictionary next = *current;
    for (const auto& [key, value] : changes) {
      if (value) {
        next.insert_or_assign(key, *value);
      } else {
        next.erase(key);
      }
    }
    ok = (next == *current && !replace) || write(next);
  }
  ::flock(lock, LOCK_UN);
  ::close(lock);
  return ok;
}

}  // namespace platform::defaults
