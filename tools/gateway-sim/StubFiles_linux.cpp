#include <sys/stat.h>
#include <sys/xattr.h>

#include <cerrno>
#include <cstring>

#include "StubFiles.h"

namespace pellora::gatewaysim {
namespace {

// What the read of a regular file's marker (n bytes into value, else errno err) says.
StubTest fromMarker(ssize_t n, const char* value, int err) {
  if (n >= 0) return {n == 5 && std::memcmp(value, kZavroValue, 5) == 0, 0};
  // No marker, or one longer than "ZAVRO": not a stub. Anything else is not an answer.
  if (err == ENODATA || err == ERANGE) return {};
  return {false, err};
}

}  // namespace

StubTest testStubFile(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return {false, errno};
  if (!S_ISREG(st.st_mode)) return {};
  char value[8];
  const ssize_t n = ::lgetxattr(path.c_str(), kStubAttribute, value, sizeof value);
  return fromMarker(n, value, n < 0 ? errno : 0);
}

StubTest testStubFd(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return {false, errno};
  if (!S_ISREG(st.st_mode)) return {};
  char value[8];
  const ssize_t n = ::fgetxattr(fd, kStubAttribute, value, sizeof value);
  return fromMarker(n, value, n < 0 ? errno : 0);
}

bool isStubFile(const std::string& path) { return testStubFile(path).stub; }

bool isStubFd(int fd) { return testStubFd(fd).stub; }

int markStub(const std::string& path) {
  if (::lsetxattr(path.c_str(), kStubAttribute, kZavroValue, 5, 0) != 0) return errno;
  return 0;
}

int unmarkStub(const std::string& path) {
  if (::lremovexattr(path.c_str(), kStubAttribute) != 0 && errno != ENODATA) return errno;
  return 0;
}

}  // namespace pellora::gatewaysim
