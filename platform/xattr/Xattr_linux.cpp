#include <sys/xattr.h>

#include "xattr/Xattr.h"

namespace platform::xattr {

std::string linuxName(const std::string& name) { return "user." + name; }

ssize_t get(const std::string& path, const std::string& name, void* value, size_t size,
            uint32_t position, int options) {
  if (position != 0) {
    errno = EINVAL;
    return -1;
  }
  const std::string full = linuxName(name);
  if (options & kNoFollow) return ::lgetxattr(path.c_str(), full.c_str(), value, size);
  return ::getxattr(path.c_str(), full.c_str(), value, size);
}

ssize_t get(const char* path, const Name& name, void* value, size_t size, int options) {
  if (options & kNoFollow) return ::lgetxattr(path, name.text(), value, size);
  return ::getxattr(path, name.text(), value, size);
}

int set(const std::string& path, const std::string& name, const void* value, size_t size,
        uint32_t position, int options) {
  if (position != 0) {
    errno = EINVAL;
    return -1;
  }
  const std::string full = linuxName(name);
  if (options & kNoFollow) return ::lsetxattr(path.c_str(), full.c_str(), value, size, 0);
  return ::setxattr(path.c_str(), full.c_str(), value, size, 0);
}

int remove(const std::string& path, const std::string& name, int options) {
  const std::string full = linuxName(name);
  if (options & kNoFollow) return ::lremovexattr(path.c_str(), full.c_str());
  return ::removexattr(path.c_str(), full.c_str());
}

}  // namespace platform::xattr
