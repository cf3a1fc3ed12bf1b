#include "PortFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "paths/Files.h"

PortFile::WriteResult PortFile::write(int port, const std::string& key) const {
  const std::string dir = folder();
  struct stat st {};
  if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    if (::mkdir(dir.c_str(), 0700) != 0) return WriteResult::FolderFailed;
    // mkdir's mode passes through the umask, which could leave the folder unusable.
    ::chmod(dir.c_str(), 0700);
  } else if (st.st_uid == ::geteuid() && (st.st_mode & 07777) != 0700) {
    // A folder left readable by an older version or by hand: the key must stay the user's.
    ::chmod(dir.c_str(), 0700);
  }
  const std::string file = path();
  if (::unlink(file.c_str()) != 0 && errno != ENOENT) return WriteResult::RemoveFailed;
  // O_EXCL refuses whatever appeared at the path since the unlink, a symbolic link included.
  const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return WriteResult::WriteFailed;
  const bool written = ::fchmod(fd, 0600) == 0 && platform::paths::writeAll(fd, format(port, key));
  if (::close(fd) != 0 || !written) {
    ::unlink(file.c_str());
    return WriteResult::WriteFailed;
  }
  return WriteResult::Written;
}

bool PortFile::remove() const { return ::unlink(path().c_str()) == 0 || errno == ENOENT; }

std::optional<PortFile::Content> PortFile::read() const {
  // Non-blocking, so that a FIFO put at the path cannot hold the caller; only a regular file
  // counts.
  const int fd = ::open(path().c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return std::nullopt;
  struct stat st {};
  std::string text;
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    // The line is under 50 bytes; more than this is not a port file.
    char buffer[4096];
    for (;;) {
      const ssize_t n = ::read(fd, buffer, sizeof buffer - text.size());
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      text.append(buffer, static_cast<size_t>(n));
      if (text.size() >= sizeof buffer) break;
    }
  }
  ::close(fd);
  return parse(text);
}

std::optional<PortFile::Content> PortFile::parse(std::string_view text) {
  const size_t comma = text.find(',');
  if (comma == std::string_view::npos) return std::nullopt;
  size_t i = 0;
  while (i < comma && (text[i] == ' ' || text[i] == '\t')) ++i;
  long port = 0;
  for (; i < comma && text[i] >= '0' && text[i] <= '9'; ++i) {
    port = port * 10 + (text[i] - '0');
    if (port > 65535) return std::nullopt;
  }
  if (port <= 0) return std::nullopt;
  const size_t next = text.find(',', comma + 1);
  const std::string_view token = text.substr(
      comma + 1, next == std::string_view::npos ? std::string_view::npos : next - comma - 1);
  if (token.empty()) return std::nullopt;
  return Content{static_cast<int>(port), std::string(token)};
}

std::string PortFile::format(int port, const std::string& key) {
  return std::to_string(port) + "," + key + "\n";
}
