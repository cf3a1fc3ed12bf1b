#include "core/ZavroMarkers.h"

#include <cstring>

#include "xattr/Xattr.h"

namespace {

bool hasExactZavroValue(const std::string& path, const char* name) {
  char buffer[256] = {};
  const ssize_t n =
      platform::xattr::get(path, name, buffer, sizeof buffer, 0, platform::xattr::kShowCompression);
  return n == 5 && std::memcmp(buffer, "ZAVRO", 5) == 0;
}

}  // namespace

bool verifyIsCachingFile(const std::string& path) {
  return hasExactZavroValue(path, "is.zavro.stub");
}

bool isZavroShareRoot(const std::string& path) {
  return hasExactZavroValue(path, "is.zavro.share");
}
