#include <fcntl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "log/Journal.h"

namespace platform::log {
namespace {

sockaddr_un addressOf(const std::string& path, socklen_t& size) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const size_t length = std::min(path.size(), sizeof address.sun_path - 1);
  std::memcpy(address.sun_path, path.data(), length);
  size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length + 1);
  return address;
}

}  // namespace

std::vector<std::string> journalFields(const Record& record) {
  std::vector<std::string> fields{"MESSAGE=" + record.message,
                                  record.level == Level::Error ? "PRIORITY=3" : "PRIORITY=5"};
  if (record.subsystem.empty()) return fields;
  fields.push_back("LOG_SUBSYSTEM=" + record.subsystem);
  fields.push_back("LOG_CATEGORY=" + record.category);
  return fields;
}

std::string journalEntry(const std::vector<std::string>& fields) {
  std::string entry;
  for (const std::string& field : fields) {
    const size_t equals = field.find('=');
    const std::string_view name(field.data(), std::min(equals, field.size()));
    const std::string_view value = equals == std::string::npos
                                       ? std::string_view()
                                       : std::string_view(field).substr(equals + 1);
    entry.append(name);
    if (value.find('\n') == std::string_view::npos) {
      entry += '=';
      entry.append(value);
    } else {
      entry += '\n';
      uint64_t length = value.size();
      for (int i = 0; i < 8; ++i, length >>= 8) entry += static_cast<char>(length & 0xFF);
      entry.append(value);
    }
    entry += '\n';
  }
  return entry;
}

JournalWriter::JournalWriter(std::string socketPath)
    : path_(std::move(socketPath)), fd_(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {}

JournalWriter::~JournalWriter() {
  if (fd_ >= 0) ::close(fd_);
}

bool JournalWriter::write(const Record& record) const {
  if (fd_ < 0) return false;
  const std::string entry = journalEntry(journalFields(record));
  socklen_t size = 0;
  sockaddr_un address = addressOf(path_, size);
  iovec part{const_cast<char*>(entry.data()), entry.size()};
  msghdr message{};
  message.msg_name = &address;
  message.msg_namelen = size;
  message.msg_iov = &part;
  message.msg_iovlen = 1;
  const int saved = errno;
  bool sent = ::sendmsg(fd_, &message, MSG_NOSIGNAL | MSG_DONTWAIT) >= 0;
  if (!sent && (errno == EMSGSIZE || errno == ENOBUFS)) sent = sendInMemoryFile(entry);
  errno = saved;
  return sent;
}

bool JournalWriter::sendInMemoryFile(const std::string& entry) const {
  const int file = ::memfd_create("journal-entry", MFD_CLOEXEC | MFD_ALLOW_SEALING);
  if (file < 0) return false;
  bool ok = true;
  for (size_t done = 0; ok && done < entry.size();) {
    const ssize_t n = ::write(file, entry.data() + done, entry.size() - done);
    ok = n > 0 || (n < 0 && errno == EINTR);
    if (n > 0) done += static_cast<size_t>(n);
  }
  // The journal reads only a file nobody can change any more.
  ok = ok &&
       ::fcntl(file, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL) == 0;
  if (ok) {
    socklen_t size = 0;
    sockaddr_un address = addressOf(path_, size);
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr message{};
    message.msg_name = &address;
    message.msg_namelen = size;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    cmsghdr* header = CMSG_FIRSTHDR(&message);
    header->cmsg_level = SOL_SOCKET;
    header->cmsg_type = SCM_RIGHTS;
    header->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(header), &file, sizeof(int));
    ok = ::sendmsg(fd_, &message, MSG_NOSIGNAL | MSG_DONTWAIT) >= 0;
  }
  ::close(file);
  return ok;
}

}  // namespace platform::log
