#include <sys/stat.h>
#include <sys/xattr.h>

#include <cerrno>
#include <cstring>

#include "StubFiles.h"

namespace pellora::gatewaysim {
namespace {

bool isZavro(const char* value, ssize_t n) {
  return n == 5 && std::memcmp(value, kZavroValue, 5) == 0;
}

}  // namespace

bool isStubFile(const std::string& path) {
  char value[8];
  const ssize_t n = ::lgetxattr(path.c_str(), kStubAttribute, value, sizeof value);
  if (!isZavro(value, n)) return false;
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool isStubFd(int fd) {
  char value[8];
  const ssize_t n = ::fgetxattr(fd, kStubAttribute, value, sizeof value);
  if (!isZavro(value, n)) return false;
  struct stat st;
  return ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
}

int markStub(const std::string& path) {
  if (::lsetxattr(path.c_str(), kStubAttribute, kZavroValue, 5, 0) != 0) return errno;
  return 0;
}

int unmarkStub(const std::string& path) {
  if (::lremovexattr(path.c_str(), kStubAttribute) != 0 && errno != ENODATA) return errno;
  return 0;
}

}  // namespace pellora::gatewaysim
