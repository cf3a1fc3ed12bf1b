#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <set>

#include "mounts/Mounts.h"

namespace platform::mounts {
namespace {

constexpr const char* kMountInfo = "/proc/self/mountinfo";

bool isOctal(char c) { return c >= '0' && c <= '7'; }

// The kernel escapes space, tab, newline and backslash in paths as \ooo.
std::string unescape(std::string_view field) {
  std::string out;
  out.reserve(field.size());
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size() && isOctal(field[i + 1]) &&
        isOctal(field[i + 2]) && isOctal(field[i + 3])) {
      const int value = (field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0');
      if (value <= 0xff) {
        out.push_back(static_cast<char>(value));
        i += 3;
        continue;
      }
    }
    out.push_back(field[i]);
  }
  return out;
}

std::vector<std::string_view> splitFields(std::string_view line) {
  std::vector<std::string_view> fields;
  size_t pos = 0;
  while (pos < line.size()) {
    while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) ++pos;
    if (pos >= line.size()) break;
    size_t end = pos;
    while (end < line.size() && line[end] != ' ' && line[end] != '\t') ++end;
    fields.push_back(line.substr(pos, end - pos));
    pos = end;
  }
  return fields;
}

std::optional<Mount> parseLine(std::string_view line) {
  const auto fields = splitFields(line);
  // id, parent, major:minor, root, mount point, options, [optional fields...], "-", type
  constexpr size_t kFirstOptional = 6;
  if (fields.size() < kFirstOptional + 2) return std::nullopt;
  size_t separator = kFirstOptional;
  while (separator < fields.size() && fields[separator] != "-") ++separator;
  if (separator + 1 >= fields.size()) return std::nullopt;
  Mount mount;
  mount.mountPoint = unescape(fields[4]);
  mount.fsType = unescape(fields[separator + 1]);
  if (separator + 2 < fields.size()) mount.source = unescape(fields[separator + 2]);
  mount.type = reportedType(mount.fsType);
  if (mount.mountPoint.empty() || mount.fsType.empty()) return std::nullopt;
  return mount;
}

bool readAll(const std::string& path, std::string& text) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  std::array<char, 16384> buf;
  bool ok = true;
  for (;;) {
    const ssize_t n = ::read(fd, buf.data(), buf.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ok = false;
    if (n <= 0) break;
    text.append(buf.data(), static_cast<size_t>(n));
  }
  ::close(fd);
  return ok;
}

bool isUnder(const std::string& path, std::string_view folder) {
  return path == folder ||
         (path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 &&
          path[folder.size()] == '/');
}

}  // namespace

std::string reportedType(std::string_view fsType) {
  if (fsType == "cifs" || fsType == "smb3" || fsType == "fuse.smbfs") return "smbfs";
  return std::string(fsType);
}

std::vector<Mount> parseMountInfo(std::string_view text) {
  std::vector<Mount> mounts;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    if (auto mount = parseLine(text.substr(pos, end - pos))) mounts.push_back(std::move(*mount));
    pos = end + 1;
  }
  return mounts;
}

std::optional<std::vector<Mount>> listMounts(const std::string& mountInfoPath) {
  std::string text;
  if (!readAll(mountInfoPath, text)) return std::nullopt;
  return parseMountInfo(text);
}

std::optional<std::vector<Mount>> listMounts() { return listMounts(kMountInfo); }

bool isUserVisibleVolume(const Mount& mount) {
  static const std::set<std::string, std::less<>> kPseudo = {
      "proc",   "sysfs",    "cgroup",   "cgroup2",    "tmpfs",       "devtmpfs",
      "devpts", "mqueue",   "debugfs",  "tracefs",    "securityfs",  "pstore",
      "bpf",    "configfs", "fusectl",  "autofs",     "binfmt_misc", "hugetlbfs",
      "nsfs",   "ramfs",    "efivarfs", "rpc_pipefs", "selinuxfs"};
  if (kPseudo.count(mount.fsType)) return false;
  if (mount.fsType == "overlay" && isUnder(mount.mountPoint, "/var/lib")) return false;
  if (isUnder(mount.mountPoint, "/proc") || isUnder(mount.mountPoint, "/sys") ||
      isUnder(mount.mountPoint, "/dev")) {
    return false;
  }
  // Desktops mount removable media below /run/media/<user>/.
  const bool removable = mount.mountPoint.rfind("/run/media/", 0) == 0;
  if (isUnder(mount.mountPoint, "/run") && !removable) return false;
  return true;
}

std::vector<std::string> mountedVolumeURLs(const std::vector<Mount>& mounts) {
  std::vector<std::string> urls;
  std::set<std::string> seen;
  for (const auto& mount : mounts) {
    if (!isUserVisibleVolume(mount)) continue;
    if (seen.insert(mount.mountPoint).second) urls.push_back(mount.mountPoint);
  }
  return urls;
}

std::vector<std::string> mountedVolumeURLs() {
  const auto mounts = listMounts();
  if (!mounts) return {};
  return mountedVolumeURLs(*mounts);
}

}  // namespace platform::mounts
