#include "ServiceStatusFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <climits>
#include <nlohmann/json.hpp>

#include "ServiceLockFile.h"
#include "paths/Files.h"

namespace {

// The list of shares runs to a few dozen paths at most; more than this is not a status file.
constexpr size_t kMaxBytes = 1 << 20;

}  // namespace

std::string ServiceStatusFile::path() const {
  return ServiceLockFile::hiddenFolderPath(home_) + "/" + kFileName;
}

bool ServiceStatusFile::write(const ServiceStatus& status) const {
  ServiceLockFile::createHiddenFolder(home_);
  const std::string file = path();
  std::string temp = file + ".XXXXXX";
  // mkostemp makes the file 0600 and refuses anything already at the name.
  const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return false;
  const bool written = platform::paths::writeAll(fd, encode(status) + "\n");
  if (::close(fd) != 0 || !written || ::rename(temp.c_str(), file.c_str()) != 0) {
    ::unlink(temp.c_str());
    return false;
  }
  return true;
}

std::optional<ServiceStatus> ServiceStatusFile::read() const {
  // Non-blocking, so that a FIFO put at the path cannot hold the reader.
  const int fd = ::open(path().c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW);
  if (fd < 0) return std::nullopt;
  struct stat st {};
  std::string text;
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    char buffer[8192];
    for (;;) {
      const ssize_t n = ::read(fd, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      text.append(buffer, static_cast<size_t>(n));
      if (text.size() > kMaxBytes) {
        text.clear();
        break;
      }
    }
  }
  ::close(fd);
  return decode(text);
}

void ServiceStatusFile::removeIfWrittenBy(pid_t pid) const {
  const auto status = read();
  if (status && status->pid == pid) ::unlink(path().c_str());
}

std::string ServiceStatusFile::encode(const ServiceStatus& status) {
  return nlohmann::json{{"pid", status.pid},
                        {"version", status.version},
                        {"build", status.build},
                        {"shares", status.shares},
                        {"extensionConnections", status.extensionConnections}}
      .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::optional<ServiceStatus> ServiceStatusFile::decode(std::string_view text) {
  const auto json = nlohmann::json::parse(text, nullptr, false);
  if (json.is_discarded() || !json.is_object()) return std::nullopt;
  const auto pid = json.find("pid");
  if (pid == json.end() || !pid->is_number_integer()) return std::nullopt;
  const auto value = pid->get<int64_t>();
  if (value <= 0 || value > INT32_MAX) return std::nullopt;
  ServiceStatus status;
  status.pid = static_cast<int32_t>(value);
  if (const auto it = json.find("version"); it != json.end() && it->is_string()) status.version = *it;
  if (const auto it = json.find("build"); it != json.end() && it->is_string()) status.build = *it;
  if (const auto it = json.find("shares"); it != json.end() && it->is_array()) {
    for (const auto& share : *it) {
      if (share.is_string()) status.shares.push_back(share);
    }
  }
  if (const auto it = json.find("extensionConnections"); it != json.end() && it->is_number_integer()) {
    status.extensionConnections = std::max<int64_t>(0, it->get<int64_t>());
  }
  return status;
}
