// Extended attributes with the system's calling convention: a name N is stored as the Linux
// attribute "user.N"; reads take a size and a position; on failure -1 is returned and errno
// keeps the cause ("no such attribute" is kNoAttr, a value longer than the buffer is ERANGE).
#pragma once

#include <sys/types.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <string>

namespace platform::xattr {

constexpr int kNoFollow = 0x0001;
// Shows compression-related attributes where a platform hides them; none are hidden here.
constexpr int kShowCompression = 0x0020;
constexpr int kNoAttr = ENODATA;

std::string linuxName(const std::string& name);

// A name in its Linux form, made once for reads in a loop.
class Name {
 public:
  explicit Name(const std::string& name) : text_(linuxName(name)) {}
  const char* text() const { return text_.c_str(); }

 private:
  std::string text_;
};

// Reads at most size bytes of the value; with value null and size 0 returns the value's length.
// position must be 0 (only resource forks have positions).
ssize_t get(const std::string& path, const std::string& name, void* value, size_t size,
            uint32_t position, int options);
// As above, for a path that is already NUL-terminated and a name made once.
ssize_t get(const char* path, const Name& name, void* value, size_t size, int options);
int set(const std::string& path, const std::string& name, const void* value, size_t size,
        uint32_t position, int options);
int remove(const std::string& path, const std::string& name, int options);

}  // namespace platform::xattr
