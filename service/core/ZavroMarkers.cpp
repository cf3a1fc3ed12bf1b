#include "core/ZavroMarkers.h"

#include <cstring>

#include "xattr/Xattr.h"

namespace {

bool hasExactZavroValue(const char* path, const platform::xattr::Name& name) {
  char buffer[256];
  const ssize_t n =
      platform::xattr::get(path, name, buffer, sizeof buffer, platform::xattr::kShowCompression);
  return n == 5 && std::memcmp(buffer, "ZAVRO", 5) == 0;
}

bool hasExactZavroValue(const std::string& path, const platform::xattr::Name& name) {
  // c_str() would name the file before the NUL.
  return path.find('\0') == std::string::npos && hasExactZavroValue(path.c_str(), name);
}

const platform::xattr::Name& stubMarker() {
  static const platform::xattr::Name name("is.zavro.stub");
  return name;
}

}  // namespace

bool verifyIsCachingFile(const char* path) { return hasExactZavroValue(path, stubMarker()); }

bool verifyIsCachingFile(const std::string& path) { return hasExactZavroValue(path, stubMarker()); }

bool isZavroShareRoot(const std::string& path) {
  static const platform::xattr::Name name("is.zavro.share");
  return hasExactZavroValue(path, name);
}

bool isSMBMountType(const std::string& type) { return type.rfind("smbfs", 0) == 0; }
